// quorvane-testsrc and quorvane-probe as real processes talking through the
// NDI runtime; every test has a registry directory of its own. Each test takes
// a few seconds: the probe listens for 1 to 3 s after finding the source.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using nlohmann::json;

struct Finished {
    int exitCode = -1;
    std::string output;
};

class Process {
public:
    // Starts a program; its standard output is captured when capture is set.
    Process(const std::string& program, const std::vector<std::string>& arguments, bool capture) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        if (capture && pipe(pipeFds) == 0) {
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
    ~Process() {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
        if (_output >= 0)
            close(_output);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return _pid > 0; }
    void terminate() const { kill(_pid, SIGTERM); }

    // Reads the output until the process ends (at most a minute, a generous
    // bound for sanitizer builds on a busy machine) and returns how it ended.
    Finished wait() {
        Finished result;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        int status = 0;
        bool exited = false;
        while (!exited || _output >= 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(_pid, SIGKILL);
                if (!exited)
                    waitpid(_pid, &status, 0);
                break;
            }
            if (!exited)
                exited = waitpid(_pid, &status, WNOHANG) == _pid;
            if (_output < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            pollfd output{_output, POLLIN, 0};
            if (poll(&output, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(_output, buffer, sizeof buffer);
            if (got > 0) {
                result.output.append(buffer, static_cast<size_t>(got));
            } else {
                close(_output);
                _output = -1;
            }
        }
        _pid = -1;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result;
    }

private:
    pid_t _pid = -1;
    int _output = -1;
};

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string upper(name);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

class ToolsEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-tools-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        _registry = pattern;
        setenv("QUORVANE_NDI_DIR", _registry.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUORVANE_NDI_DIR");
        std::filesystem::remove_all(_registry);
    }

    // Runs the probe to its end; the report is null when it printed no JSON.
    static std::pair<int, json> probe(const std::vector<std::string>& arguments) {
        Process process(QUORVANE_PROBE, arguments, true);
        EXPECT_TRUE(process.started());
        const Finished finished = process.wait();
        return {finished.exitCode, json::parse(finished.output, nullptr, false)};
    }

private:
    std::string _registry;
};

} // namespace

TEST_F(ToolsEndToEnd, probeFindsEveryChannelOfATestSourceBitExactWithIntactPictures) {
    Process source(QUORVANE_TESTSRC, {"--name", "Tones", "--id", "7", "--channels", "4", "--video"}, false);
    ASSERT_TRUE(source.started());
    const auto [exitCode, report] = probe({"--source", hostName() + " (Tones)", "--seconds", "3", "--timeout", "15"});

    EXPECT_EQ(exitCode, 0);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["found"], true);
    EXPECT_EQ(report["channels"], 4);
    EXPECT_EQ(report["sampleRate"], 48000);
    ASSERT_EQ(report["audio"].size(), 4u);
    for (int ch = 0; ch < 4; ++ch) {
        const json& channel = report["audio"][static_cast<size_t>(ch)];
        SCOPED_TRACE(channel.dump());
        EXPECT_EQ(channel["channel"], ch);
        EXPECT_EQ(channel["silent"], false);
        EXPECT_EQ(channel["sourceId"], 7);
        EXPECT_EQ(channel["sourceChannel"], ch);
        EXPECT_EQ(channel["bitExact"], true);
        EXPECT_EQ(channel["dropouts"], 0);
        ASSERT_TRUE(channel["latencyMs"].is_number());
        EXPECT_GT(channel["latencyMs"].get<double>(), -1.0);
        EXPECT_LT(channel["latencyMs"].get<double>(), 500.0);
    }
    const json& video = report["video"];
    ASSERT_TRUE(video.is_object()) << report.dump();
    EXPECT_GT(video["pictures"].get<int>(), 10);
    EXPECT_EQ(video["intact"], video["pictures"]);
    EXPECT_EQ(video["fourcc"], "UYVY");
    EXPECT_EQ(video["sourceId"], 7);
    ASSERT_TRUE(video["avOffsetMs"].is_number());
    EXPECT_LT(std::abs(video["avOffsetMs"].get<double>()), 200.0);

    // Without a run time the source runs until told to stop, then ends cleanly.
    source.terminate();
    EXPECT_EQ(source.wait().exitCode, 0);
}

TEST_F(ToolsEndToEnd, hostOptionPublishesUnderTheOtherHostName) {
    Process source(QUORVANE_TESTSRC,
                   {"--name", "Pictures", "--host", "ELSEWHERE", "--video-only", "--fourcc", "H264", "--seconds", "30"},
                   false);
    ASSERT_TRUE(source.started());
    const auto [exitCode, report] = probe({"--source", "ELSEWHERE (Pictures)", "--seconds", "1", "--timeout", "15"});
    EXPECT_EQ(exitCode, 0);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["found"], true);
    EXPECT_EQ(report["channels"], 0);
    EXPECT_TRUE(report["audio"].empty());
    ASSERT_TRUE(report["video"].is_object()) << report.dump();
    EXPECT_GT(report["video"]["pictures"].get<int>(), 5);
    EXPECT_EQ(report["video"]["intact"], report["video"]["pictures"]);
    EXPECT_EQ(report["video"]["fourcc"], "H264");

    const auto [localExitCode, local] = probe({"--source", hostName() + " (Pictures)", "--timeout", "1"});
    EXPECT_NE(localExitCode, 0);
    ASSERT_TRUE(local.is_object());
    EXPECT_EQ(local["found"], false);
    EXPECT_TRUE(local["video"].is_null());
}
