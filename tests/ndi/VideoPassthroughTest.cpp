#include "ndi/VideoPassthrough.h"

#include "NdiTestSupport.h"
#include "PictureLedger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using nditest::LocalSource;

class NoSenders : public NDISourceFinder::Listener {
public:
    void sourcesChanged(const std::set<std::string>&) override {}
    const SenderChannelMappings& channelMappings() override { return none; }
    SenderChannelMappings none;
};

// Receives one of our senders the way a viewer on the network would.
class Viewer {
public:
    explicit Viewer(const std::string& senderName) {
        const std::string name = nditest::upperCased(nditest::localHost()) + " (" + senderName + ")";
        NDIlib_recv_create_v3_t settings{};
        settings.source_to_connect_to.p_ndi_name = name.c_str();
        settings.color_format = NDIlib_recv_color_format_compressed_v5;
        settings.bandwidth = NDIlib_recv_bandwidth_highest;
        settings.allow_video_fields = true;
        _receiver = NDIlib_recv_create_v4(&settings, nullptr);
    }
    ~Viewer() { NDIlib_recv_destroy(_receiver); }
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Pictures received within `limit`, each checked byte for byte.
    std::vector<TestPicture::Check> pictures(size_t wanted, std::chrono::milliseconds limit) {
        std::vector<TestPicture::Check> checks;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (checks.size() < wanted && std::chrono::steady_clock::now() < deadline) {
            NDIlib_video_frame_v2_t picture{};
            if (NDIlib_recv_capture_v2(_receiver, &picture, nullptr, nullptr, 100) == NDIlib_frame_type_video) {
                checks.push_back(
                    TestPicture::check(picture.p_data, static_cast<size_t>(picture.yres) *
                                                           static_cast<size_t>(picture.line_stride_in_bytes)));
                NDIlib_recv_free_video_v2(_receiver, &picture);
            }
        }
        return checks;
    }

private:
    NDIlib_recv_instance_t _receiver = nullptr;
};

// The engine's receive and video steps on a block thread of their own, with
// table changes applied the way the controller applies its events: on the
// block thread, under the tables mutex, before the captures start.
class PassthroughTest : public ::testing::Test {
protected:
    PassthroughTest() {
        finderRunning = true;
        finder.setListener(&finderListener, &tables.tablesMutex);
        rx.setFormat(48000, 512);
        rx.requestWaitForCaptures();
    }
    ~PassthroughTest() override {
        stopBlocks();
        finderRunning = false;
    }

    void startBlocks() {
        _blocks = std::thread([this] {
            while (!_stop) {
                rx.update();
                video.update();
                applyChanges();
                for (auto& [name, ready] : tables.ready) {
                    ready = false;
                }
                rx.startCaptureTasks();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    // The shutdown order the controller follows.
    void stopBlocks() {
        if (!_blocks.joinable()) {
            return;
        }
        _stop = true;
        _blocks.join();
        rx.update();
        rx.stop();
        rx.waitForProbeTask();
        video.update();
        video.waitForVideoTask();
        rx.waitForCaptures();
        video.releaseAllVideo();
        tables.senders.clear();
        rx.closeAllSlots();
        tables.frames.clear();
    }
    // Queues a change; one that answers false waits for the next block, and so
    // do the changes behind it.
    void post(std::function<bool()> change) {
        std::lock_guard lock(_changesMutex);
        _changes.push_back(std::move(change));
    }
    void applyChanges() {
        std::lock_guard queueLock(_changesMutex);
        std::lock_guard tablesLock(tables.tablesMutex);
        while (!_changes.empty() && _changes.front()()) {
            _changes.pop_front();
        }
    }
    // Adds a sender (with an NDI output unless it is "Monitor") fed by `videoSource`.
    void addSender(const std::string& name, const std::string& videoSource, int32_t delayMs = 0) {
        Sender sender;
        sender.name = name;
        sender.pointSettingsAtName();
        sender.createSettings.clock_video = true;
        if (name != "Monitor") {
            sender.sendInstance = NDIlib_send_create_v2(&sender.createSettings, nullptr);
        }
        sender.delayLine.setAudioFormat(48000, 512, 2);
        if (delayMs != 0) {
            VideoPassthrough::setDelay(sender, delayMs);
        }
        tables.senders.emplace(name, std::move(sender));
        if (!videoSource.empty()) {
            tables.videoSources[name] = videoSource;
            listener.setUsedForVideo(videoSource, true);
        }
    }

    nditest::PrivateNdiDir dir;
    nditest::Tables tables;
    NoSenders finderListener;
    NDISourceFinder finder;
    nditest::RecordingListener listener;
    NDIRx rx{&tables.recvSlots,    &tables.frames, &tables.counts, &tables.ready,
             &tables.captureTasks, &finder,        &listener,      &tables.tablesMutex};
    VideoPassthrough video{&tables.senders,    &tables.videoSources, &tables.frames, &tables.recvSlots, &rx,
                           &tables.tablesMutex};

private:
    std::thread _blocks;
    std::atomic<bool> _stop{false};
    std::mutex _changesMutex;
    std::deque<std::function<bool()>> _changes;
};

bool allIntactFrom(const std::vector<TestPicture::Check>& checks, uint32_t sourceId) {
    for (const TestPicture::Check& check : checks) {
        if (check.state != TestPicture::State::Intact || check.info.sourceId != sourceId) {
            return false;
        }
    }
    return true;
}

TEST_F(PassthroughTest, everySenderOfTheSourceCarriesItsPicturesByteForByte) {
    LocalSource::Options options = LocalSource::audioAndVideo(2);
    options.sourceId = 7;
    LocalSource camera("Camera", options);
    tables.addSource(camera.name());
    addSender("Zelka Sender 1", camera.name());
    addSender("Zelka Sender 2", camera.name(), -100);
    addSender("Zelka Sender 3", "");
    addSender("Monitor", camera.name(), -100);
    Viewer first("Zelka Sender 1"), second("Zelka Sender 2"), third("Zelka Sender 3");
    startBlocks();

    const auto firstPictures = first.pictures(10, std::chrono::seconds(10));
    const auto secondPictures = second.pictures(10, std::chrono::seconds(10));
    EXPECT_EQ(firstPictures.size(), 10u);
    EXPECT_EQ(secondPictures.size(), 10u);
    EXPECT_TRUE(allIntactFrom(firstPictures, 7));
    EXPECT_TRUE(allIntactFrom(secondPictures, 7));
    EXPECT_TRUE(third.pictures(1, std::chrono::milliseconds(500)).empty()); // no video source: audio only
    EXPECT_EQ(tables.senders.at("Monitor").delayLine.heldPictures(), 0u);   // never carries video
    EXPECT_EQ(tables.senders.at("Zelka Sender 2").delayLine.ringLength(), 2u);

    stopBlocks();
    EXPECT_EQ(ndiruntime::PictureLedger::instance().outstanding(), 0u);
}

TEST(PassthroughRates, onlyPlausiblePictureRatesAreSent) {
    const struct {
        int64_t rateN;
        int64_t rateD;
        bool sent;
    } cases[] = {
        {30000, 1001, true}, {1, 1, true},      {240, 1, true},  {24000, 100, true}, {1, 3600, false},   {0, 1, false},
        {1000000, 1, false}, {30000, 0, false}, {-30, 1, false}, {241, 1, false},    {999, 1000, false},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(VideoPassthrough::plausiblePictureRate(row.rateN, row.rateD), row.sent)
            << row.rateN << "/" << row.rateD;
    }
}

TEST_F(PassthroughTest, sourceWithoutPicturesYetSendsNothing) {
    LocalSource microphone("Microphone", LocalSource::audio(2));
    tables.addSource(microphone.name());
    addSender("Zelka Sender 1", microphone.name());
    Viewer viewer("Zelka Sender 1");
    startBlocks();
    EXPECT_TRUE(viewer.pictures(1, std::chrono::seconds(1)).empty());
    stopBlocks();
    EXPECT_EQ(ndiruntime::PictureLedger::instance().outstanding(), 0u);
}

// Senders are removed, replaced and switched between two video sources while
// the video task streams with delay rings; every change waits, under the tables
// mutex, until the task is off the sender. Run under both sanitizers.
TEST_F(PassthroughTest, senderChangesNeverRaceTheVideoTask) {
    LocalSource::Options options = LocalSource::audioAndVideo(2);
    LocalSource first("First", options);
    options.sourceId = 2;
    LocalSource second("Second", options);
    tables.addSource(first.name());
    tables.addSource(second.name());
    for (int i = 0; i < 4; ++i) {
        addSender("Zelka Sender " + std::to_string(i), i % 2 ? first.name() : second.name(), -100 * i);
    }
    startBlocks();

    std::atomic<int> applied{0};
    for (int round = 0; round < 40; ++round) {
        const std::string name = "Zelka Sender " + std::to_string(round % 4);
        const std::string source = round % 3 ? first.name() : second.name();
        post([&, round, name, source] {
            if (!video.waitUntilNotSendingTo(name, std::chrono::milliseconds(2))) {
                return false;
            }
            if (round % 2 == 0) {
                tables.senders.erase(name); // its ring gives its pictures back
                Sender replacement;
                replacement.name = name;
                replacement.pointSettingsAtName();
                replacement.sendInstance = NDIlib_send_create_v2(&replacement.createSettings, nullptr);
                VideoPassthrough::setDelay(replacement, -50 * (round % 5));
                tables.senders.emplace(name, std::move(replacement));
            } else {
                video.releaseVideo(tables.senders.at(name));
            }
            tables.videoSources[name] = source;
            ++applied;
            return true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(nditest::eventually([&] { return applied == 40; }));
    stopBlocks();
    EXPECT_EQ(ndiruntime::PictureLedger::instance().outstanding(), 0u);
}

} // namespace
