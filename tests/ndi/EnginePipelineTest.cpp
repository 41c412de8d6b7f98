// The whole engine against real processes: the controller runs in this process
// on its software clock, every source is a quorvane-testsrc process and what
// the senders publish is checked by quorvane-probe processes, all meeting in
// an NDI registry directory of the test's own. Discovery runs every 2 s and
// each probe listens for one to two seconds, so a test takes 5 to 15 s.
#include "audio/AudioController.h"
#include "audio/VirtualAudioDevice.h"

#include "NDIlib.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A source process outlives a crashed test by this much at most.
const std::string kSourceLifetimeSeconds = "120";

std::string localHost() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

std::string upperCased(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lowerCased(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The NDI name under which this machine publishes a stream.
std::string localName(const std::string& stream) {
    return upperCased(localHost()) + " (" + stream + ")";
}

// A program run by the test; killed and reaped when it goes.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments, bool captureOutput) {
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        if (captureOutput && pipe(pipeFds) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
            posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
        }
        if (posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0)
            close(pipeFds[1]);
        _output = pipeFds[0];
    }
    ~ChildProcess() {
        kill();
        if (_output >= 0)
            close(_output);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return _pid > 0; }

    // Ends the process at once, as a crash or a pulled cable would.
    void kill() {
        if (_pid > 0) {
            ::kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
            _pid = -1;
        }
    }

    // What the process printed, once it ended by itself (within a minute).
    std::string output() {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + 1min;
        while (_output >= 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd readable{_output, POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(_output, buffer, sizeof buffer);
            if (got > 0) {
                text.append(buffer, static_cast<size_t>(got));
            } else {
                close(_output);
                _output = -1;
            }
        }
        kill();
        return text;
    }

private:
    pid_t _pid = -1;
    int _output = -1;
};

// quorvane-probe listening to one of the engine's senders; several may run at once.
class ProbeRun {
public:
    ProbeRun(const std::string& sender, double seconds, double skipSeconds)
        : _process(QUORVANE_PROBE,
                   {"--source", localName(sender), "--seconds", std::to_string(seconds), "--skip-seconds",
                    std::to_string(skipSeconds), "--timeout", "10"},
                   true) {}

    // The probe's report; null when it printed none.
    json report() {
        EXPECT_TRUE(_process.started());
        return json::parse(_process.output(), nullptr, false);
    }

private:
    ChildProcess _process;
};

json probe(const std::string& sender, double seconds, double skipSeconds) {
    return ProbeRun(sender, seconds, skipSeconds).report();
}

double number(const json& value) {
    return value.is_number() ? value.get<double>() : std::nan("");
}

// What the controller reported to its owner, in arrival order.
struct Report {
    std::string kind; // "senders", "added", "removed" or "channels"
    std::string name;
    int count = 0;
    bool operator==(const Report&) const = default;
};

void PrintTo(const Report& report, std::ostream* out) {
    *out << report.kind << " \"" << report.name << "\" " << report.count;
}

class EngineReports : public AudioController::Listener {
public:
    virtual ~EngineReports() = default;
    void sendersChanged(const SenderChannelMappings&, SenderVideoSources&) override { add({"senders", "", 0}); }
    void sourceAdded(const std::string& name, int count) override { add({"added", name, count}); }
    void sourceRemoved(const std::string& name) override { add({"removed", name, 0}); }
    void sourceChannelsChanged(const std::string& name, int count) override { add({"channels", name, count}); }
    void senderDelayChanged(const std::string&, int) override {}

    // Waits until `report` arrived `times` times in all.
    bool waitFor(const Report& report, int times = 1, std::chrono::milliseconds limit = 12s) {
        std::unique_lock lock(_mutex);
        return _arrived.wait_for(lock, limit,
                                 [&] { return std::count(_reports.begin(), _reports.end(), report) >= times; });
    }
    // The reports about one source.
    std::vector<Report> about(const std::string& name) {
        std::lock_guard lock(_mutex);
        std::vector<Report> selected;
        std::copy_if(_reports.begin(), _reports.end(), std::back_inserter(selected),
                     [&](const Report& report) { return report.name == name; });
        return selected;
    }
    std::set<std::string> namesReported() {
        std::lock_guard lock(_mutex);
        std::set<std::string> names;
        for (const Report& report : _reports)
            if (!report.name.empty())
                names.insert(report.name);
        return names;
    }

private:
    void add(Report report) {
        {
            std::lock_guard lock(_mutex);
            _reports.push_back(std::move(report));
        }
        _arrived.notify_all();
    }

    std::mutex _mutex;
    std::condition_variable _arrived;
    std::vector<Report> _reports;
};

class EnginePipeline : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-pipeline-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        _root = pattern;
        for (const char* folder : {"home", "data", "ndi"})
            std::filesystem::create_directory(_root / folder);
        // The default channel-mapping file and the NDI registry are the test's own.
        setenv("HOME", (_root / "home").c_str(), 1);
        setenv("XDG_DATA_HOME", (_root / "data").c_str(), 1);
        setenv("QUORVANE_NDI_DIR", (_root / "ndi").c_str(), 1);
    }
    void TearDown() override {
        controller.reset();
        _sources.clear();
        std::error_code ignored;
        std::filesystem::remove_all(_root, ignored);
    }

    // The engine on its software clock (no sound device is even looked for),
    // with the start gate open once the start-up routing is in place.
    void startEngine() {
        controller = std::make_unique<AudioController>(&reports, std::make_unique<VirtualAudioDevice>());
        ASSERT_TRUE(reports.waitFor({"senders", "", 0}));
        controller->openStartGateAfter(0ms);
    }

    // Starts quorvane-testsrc publishing `stream`; returns the source's NDI name.
    std::string startSource(const std::string& stream, std::vector<std::string> options, std::string host = {}) {
        options.insert(options.end(), {"--name", stream, "--seconds", kSourceLifetimeSeconds});
        if (!host.empty())
            options.insert(options.end(), {"--host", host});
        _sources.push_back(std::make_unique<ChildProcess>(QUORVANE_TESTSRC, options, false));
        EXPECT_TRUE(_sources.back()->started());
        return host.empty() ? localName(stream) : host + " (" + stream + ")";
    }
    ChildProcess& source(size_t index) { return *_sources.at(index); }

    EngineReports reports;
    std::unique_ptr<AudioController> controller;

private:
    std::filesystem::path _root;
    std::vector<std::unique_ptr<ChildProcess>> _sources;
};

void expectCarries(const json& channel, int sourceId, int sourceChannel) {
    SCOPED_TRACE(channel.dump());
    EXPECT_EQ(channel["silent"], false);
    EXPECT_EQ(channel["sourceId"], sourceId);
    EXPECT_EQ(channel["sourceChannel"], sourceChannel);
}

} // namespace

// A loaded machine may hold up the source, the engine or the probe for longer
// than the frame-sync's one or two blocks of buffering, which drops or zeroes
// samples there; so the channel must come through untouched in one of three
// listening windows, and every window must carry the right channel.
TEST_F(EnginePipeline, sourceChannelReachesTheSenderChannelBitExactAndTheOthersStaySilent) {
    const std::string source = startSource("Counter Four", {"--id", "3", "--channels", "4"});
    ASSERT_NO_FATAL_FAILURE(startEngine());
    ASSERT_TRUE(reports.waitFor({"added", source, -1}));
    controller->addConnection(source, 2, "Zelka Sender 1", 0);

    json fed;
    int windows = 0;
    while (windows < 3 && fed["dropouts"] != 0) {
        ++windows;
        const json report = probe("Zelka Sender 1", 2, windows == 1 ? 1 : 0);
        ASSERT_TRUE(report.is_object());
        EXPECT_EQ(report["channels"], 4);
        EXPECT_EQ(report["sampleRate"], 48000);
        ASSERT_EQ(report["audio"].size(), 4u) << report.dump();
        for (size_t channel = 1; channel < 4; ++channel)
            EXPECT_EQ(report["audio"][channel]["silent"], true) << report["audio"][channel].dump();
        fed = report["audio"][0];
        expectCarries(fed, 3, 2);
        EXPECT_EQ(fed["resampled"], false) << fed.dump();
        EXPECT_EQ(fed["corruptSamples"], 0) << fed.dump();
        EXPECT_GT(fed["verifiedSamples"].get<int64_t>(), 48000) << fed.dump();
    }
    EXPECT_EQ(fed["dropouts"], 0) << fed.dump();
    EXPECT_EQ(fed["bitExact"], true) << fed.dump();

    // Source to sender output, through a frame-sync, one engine block and two network hops.
    const double median = number(fed["latencyMs"]);
    const double p99 = number(fed["latencyMsP99"]);
    std::printf("end-to-end audio latency: median %.2f ms, p99 %.2f ms (listening window %d)\n", median, p99, windows);
    RecordProperty("latencyMedianMs", std::to_string(median));
    RecordProperty("latencyP99Ms", std::to_string(p99));
    EXPECT_GT(median, 0.0);
    EXPECT_LT(median, 500.0);
}

TEST_F(EnginePipeline, channelCountsFollowSourcesAndAVanishedSourceComesBackOnItsConnection) {
    const std::vector<std::string> eightChannels = {"--id", "11", "--channels", "8"};
    const std::string eight = startSource("Eight", eightChannels);
    const std::string pictures = startSource("Pictures Only", {"--id", "12", "--video-only"});
    ASSERT_NO_FATAL_FAILURE(startEngine());
    ASSERT_TRUE(reports.waitFor({"channels", eight, 8}));
    ASSERT_TRUE(reports.waitFor({"channels", pictures, 0}));
    EXPECT_EQ(reports.about(eight), (std::vector<Report>{{"added", eight, -1}, {"channels", eight, 8}}));
    EXPECT_EQ(reports.about(pictures), (std::vector<Report>{{"added", pictures, -1}, {"channels", pictures, 0}}));

    controller->addConnection(eight, 7, "Zelka Sender 2", 1);
    json report = probe("Zelka Sender 2", 1.5, 1);
    ASSERT_TRUE(report.is_object());
    ASSERT_EQ(report["audio"].size(), 2u) << report.dump();
    expectCarries(report["audio"][1], 11, 7);
    EXPECT_EQ(report["audio"][0]["silent"], true);

    source(0).kill();
    ASSERT_TRUE(reports.waitFor({"removed", eight, 0}));
    ASSERT_TRUE(reports.waitFor({"channels", eight, -1}));
    report = probe("Zelka Sender 2", 1, 0.3);
    ASSERT_TRUE(report.is_object());
    ASSERT_EQ(report["audio"].size(), 2u) << report.dump();
    EXPECT_EQ(report["audio"][1]["silent"], true) << report["audio"][1].dump();

    EXPECT_EQ(startSource("Eight", eightChannels), eight);
    ASSERT_TRUE(reports.waitFor({"added", eight, -1}, 2));
    report = probe("Zelka Sender 2", 1.5, 1);
    ASSERT_TRUE(report.is_object());
    ASSERT_EQ(report["audio"].size(), 2u) << report.dump();
    expectCarries(report["audio"][1], 11, 7);
}

TEST_F(EnginePipeline, videoPassesIntactAtTheSourceRateToEverySenderThatShowsIt) {
    const std::string source = startSource("Camera", {"--id", "5", "--channels", "2", "--video"});
    ASSERT_NO_FATAL_FAILURE(startEngine());
    ASSERT_TRUE(reports.waitFor({"added", source, -1}));
    controller->setVideoSource(source, "Zelka Sender 1");
    controller->setVideoSource(source, "Zelka Sender 2");
    controller->addConnection(source, 1, "Zelka Sender 3", 0);

    constexpr double kSeconds = 2;
    ProbeRun first("Zelka Sender 1", kSeconds, 1);
    ProbeRun second("Zelka Sender 2", kSeconds, 1);
    ProbeRun audioOnly("Zelka Sender 3", kSeconds, 1);
    for (const json& report : {first.report(), second.report()}) {
        ASSERT_TRUE(report.is_object());
        const json& video = report["video"];
        ASSERT_TRUE(video.is_object()) << report.dump();
        SCOPED_TRACE(video.dump());
        EXPECT_EQ(video["sourceId"], 5);
        EXPECT_EQ(video["fourcc"], "UYVY");
        EXPECT_EQ(video["frameRate"], "30000/1001");
        EXPECT_GT(video["pictures"].get<int>(), 0.8 * 29.97 * kSeconds);
        EXPECT_EQ(video["intact"], video["pictures"]);
        EXPECT_NEAR(number(video["pictureRate"]), 29.97, 3.0);
    }
    const json report = audioOnly.report();
    ASSERT_TRUE(report.is_object());
    EXPECT_TRUE(report["video"].is_null()) << report["video"].dump();
    ASSERT_EQ(report["audio"].size(), 6u) << report.dump();
    expectCarries(report["audio"][0], 5, 1);
}

// Positive delays hold the audio back by whole blocks (+100 ms: 9 blocks of
// 512 samples at 48 kHz, 96 ms), negative ones the video by whole pictures
// (-100 ms at 30000/1001: 2 pictures, 66.7 ms). "Zelka Sender 2" carries the
// same source channel undelayed: both senders send the same captured block,
// so their difference is the delay alone, whatever the frame-sync buffers. The
// pictures are measured on one sender before and after, so that its picture
// pacing stays the same; the newest picture that a pass sends may still differ
// by one between listening windows. The probe's A/V offset is the pictures'
// latency minus the audio's.
TEST_F(EnginePipeline, delaysHoldBackTheAudioByWholeBlocksOrTheVideoByWholePictures) {
    const std::string source = startSource("Studio", {"--id", "9", "--channels", "2", "--video"});
    ASSERT_NO_FATAL_FAILURE(startEngine());
    ASSERT_TRUE(reports.waitFor({"added", source, -1}));
    controller->setVideoSource(source, "Zelka Sender 1");
    controller->addConnection(source, 0, "Zelka Sender 1", 0);
    controller->addConnection(source, 0, "Zelka Sender 2", 0);

    struct Measure {
        double audioMs = std::nan(""), videoMs = std::nan(""), offsetMs = std::nan(""), audioBehindMs = std::nan("");
    };
    const auto measure = [](double skipSeconds) {
        ProbeRun delayed("Zelka Sender 1", 2, skipSeconds);
        ProbeRun reference("Zelka Sender 2", 2, skipSeconds);
        const json report = delayed.report();
        const json undelayed = reference.report();
        Measure measured;
        EXPECT_TRUE(report.is_object() && report["video"].is_object() && !report["audio"].empty()) << report.dump();
        EXPECT_TRUE(undelayed.is_object() && !undelayed["audio"].empty()) << undelayed.dump();
        if (report.is_object() && report["video"].is_object() && !report["audio"].empty()) {
            measured.audioMs = number(report["audio"][0]["latencyMs"]);
            measured.videoMs = number(report["video"]["latencyMs"]);
            measured.offsetMs = number(report["video"]["avOffsetMs"]);
        }
        if (undelayed.is_object() && !undelayed["audio"].empty())
            measured.audioBehindMs = measured.audioMs - number(undelayed["audio"][0]["latencyMs"]);
        return measured;
    };
    const Measure plain = measure(1);
    controller->setAVDelay("Zelka Sender 1", 100);
    const Measure audioDelayed = measure(0.5);
    controller->setAVDelay("Zelka Sender 1", -100);
    const Measure videoDelayed = measure(0.5);

    for (const auto& [label, m] : {std::pair{"no delay", plain}, {"+100 ms", audioDelayed}, {"-100 ms", videoDelayed}})
        std::printf("%s: audio %.1f ms (%.1f ms behind the undelayed sender), video %.1f ms, A/V offset %.1f ms\n",
                    label, m.audioMs, m.audioBehindMs, m.videoMs, m.offsetMs);
    RecordProperty("avOffsetMs", std::to_string(plain.offsetMs));
    RecordProperty("avOffsetPlus100Ms", std::to_string(audioDelayed.offsetMs));
    RecordProperty("avOffsetMinus100Ms", std::to_string(videoDelayed.offsetMs));

    constexpr double kBlockMs = 512.0 / 48.0;
    constexpr double kPictureMs = 1001.0 / 30.0;
    EXPECT_NEAR(plain.audioBehindMs, 0.0, 0.75 * kBlockMs);
    EXPECT_NEAR(audioDelayed.audioBehindMs, 9 * kBlockMs, 0.75 * kBlockMs);
    EXPECT_NEAR(videoDelayed.audioBehindMs, 0.0, 0.75 * kBlockMs);
    EXPECT_NEAR(audioDelayed.videoMs - plain.videoMs, 0.0, 0.75 * kPictureMs);
    EXPECT_NEAR(videoDelayed.videoMs - plain.videoMs, 2 * kPictureMs, 0.75 * kPictureMs);
    EXPECT_NEAR(audioDelayed.offsetMs - plain.offsetMs, -9 * kBlockMs, 50.0);
    EXPECT_NEAR(videoDelayed.offsetMs - plain.offsetMs, 2 * kPictureMs, 50.0);
}

// Of the sources named like one of the engine's senders, only those of another
// host are listed; the host part is compared upper-cased.
TEST_F(EnginePipeline, sourcesNamedLikeOurSendersAreListedOnlyFromOtherHosts) {
    struct Case {
        std::string host; // empty: this machine
        std::string stream;
        bool listed;
    };
    const std::vector<Case> cases = {
        {"OTHER-HOST", "Zelka Sender 1", true},
        {"", "Zelka Sender 2", false},
        {lowerCased(localHost()), "Zelka Sender 3", false},
        {"", "Zelka Sender 4", true},
    };
    std::vector<std::string> names;
    for (const Case& c : cases)
        names.push_back(startSource(c.stream, {"--channels", "1"}, c.host));
    ASSERT_NO_FATAL_FAILURE(startEngine());
    // A source's channel count comes from the discovery pass after the one
    // that listed it: by then every source has been seen twice.
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].listed) {
            ASSERT_TRUE(reports.waitFor({"channels", names[i], 1})) << names[i];
        }
    }

    // Every one of them is on the network, as the runtime lists it to anyone.
    const std::set<std::string> reported = reports.namesReported();
    uint32_t count = 0;
    NDIlib_find_create_t settings{true, nullptr, nullptr};
    NDIlib_find_instance_t finder = NDIlib_find_create_v3(&settings, nullptr);
    std::set<std::string> published;
    const NDIlib_source_v2_t* sources = NDIlib_find_get_current_sources_v2(finder, &count);
    for (uint32_t i = 0; i < count; ++i)
        published.insert(sources[i].p_ndi_name);
    NDIlib_find_destroy(finder);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(published.count(names[i]), 1u);
        EXPECT_EQ(reported.count(names[i]), cases[i].listed ? 1u : 0u);
    }
    EXPECT_EQ(reported.count(localName("Zelka Sender 1")), 0u);
}
