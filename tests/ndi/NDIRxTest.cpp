#include "ndi/NDIRx.h"

#include "NdiTestSupport.h"

#include <gtest/gtest.h>

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using nditest::LocalSource;
using Reports = std::vector<std::pair<std::string, int32_t>>;

class NoSenders : public NDISourceFinder::Listener {
public:
    void sourcesChanged(const std::set<std::string>&) override {}
    const SenderChannelMappings& channelMappings() override { return none; }
    SenderChannelMappings none;
};

std::atomic<int> receiverWarnings{0};
void countReceiverWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg && message.contains(QStringLiteral("Receiver could not be opened"))) {
        ++receiverWarnings;
    }
}

class ReceiverTest : public ::testing::Test {
protected:
    ReceiverTest() {
        finderRunning = true;
        finder.setListener(&finderListener, &tables.tablesMutex);
        rx.setFormat(48000, 512);
        rx.requestWaitForCaptures();
    }
    ~ReceiverTest() override {
        rx.waitForCaptures();
        rx.closeAllSlots();
        finderRunning = false;
    }

    // Waits until the fixture's finder lists `count` sources.
    bool finderLists(size_t count) {
        return nditest::eventually([&] {
            testing::internal::CaptureStderr();
            finder.refresh();
            testing::internal::GetCapturedStderr();
            return finder.sources().size() == count;
        });
    }

    // One block as the audio thread runs it: update, clear the ready flags,
    // start the captures, let them finish.
    void block() {
        rx.update();
        for (auto& [name, ready] : tables.ready) {
            ready = false;
        }
        rx.startCaptureTasks();
        rx.waitForCaptures();
    }
    // Runs blocks until every named source has a captured block whose channel c
    // carries c + 1 (what LocalSource sends).
    bool blocksUntilCaptured(const std::vector<std::string>& names, int channels) {
        return nditest::eventually([&] {
            block();
            return std::all_of(names.begin(), names.end(), [&](const std::string& name) {
                const NDIlib_audio_frame_v2_t& frame = tables.container(name).audioFrame;
                if (!tables.ready.at(name) || frame.p_data == nullptr || frame.no_channels != channels ||
                    frame.no_samples != 512) {
                    return false;
                }
                for (int c = 0; c < channels; ++c) {
                    if (frame.p_data[c * frame.no_samples + frame.no_samples - 1] != float(c + 1)) {
                        return false;
                    }
                }
                return true;
            });
        });
    }

    nditest::PrivateNdiDir dir;
    nditest::Tables tables;
    NoSenders finderListener;
    NDISourceFinder finder;
    nditest::RecordingListener listener;
    NDIRx rx{&tables.recvSlots,    &tables.frames, &tables.counts, &tables.ready,
             &tables.captureTasks, &finder,        &listener,      &tables.tablesMutex};
};

TEST_F(ReceiverTest, probeReportsAudioCountsVideoOnlyAndVanishedSources) {
    LocalSource eight("Eight", LocalSource::audio(8));
    LocalSource::Options videoOnly;
    videoOnly.channels = 0;
    videoOnly.video = true;
    LocalSource pictures("Pictures", videoOnly);
    const std::string gone = "ELSEWHERE (Gone)";
    ASSERT_TRUE(finderLists(2));

    testing::internal::CaptureStderr();
    rx.probeSources({{eight.name(), -1}, {pictures.name(), -1}, {gone, -1}});
    const std::string listing = testing::internal::GetCapturedStderr();
    EXPECT_NE(listing.find(eight.name() + "\n"), std::string::npos) << listing;
    EXPECT_EQ(listener.takeReports(), (Reports{{eight.name(), 8}, {pictures.name(), 0}, {gone, -1}}));

    // Known counts are confirmed silently; a vanished source is reported every time.
    testing::internal::CaptureStderr();
    rx.probeSources({{eight.name(), 8}, {pictures.name(), 0}, {gone, -1}});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(listener.takeReports(), (Reports{{gone, -1}}));
}

TEST_F(ReceiverTest, stopEndsTheProbeBeforeTheNextSource) {
    LocalSource silent("Silent", LocalSource::audio(0));
    ASSERT_TRUE(finderLists(1));
    rx.stop();
    testing::internal::CaptureStderr();
    rx.probeSources({{silent.name(), 4}, {"ELSEWHERE (Gone)", -1}});
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(listener.takeReports().empty());
}

TEST_F(ReceiverTest, slotsPastEightAreCapturedByTheNextTask) {
    std::vector<std::unique_ptr<LocalSource>> sources;
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        sources.push_back(std::make_unique<LocalSource>("Source " + std::to_string(i), LocalSource::audio(2)));
        names.push_back(sources.back()->name());
        tables.addSource(names.back(), 1);
    }
    ASSERT_EQ(tables.captureTasks.size(), 2u);

    rx.captureRange(8, 16); // the second task's range, clamped to the 12 slots
    for (size_t i = 0; i < tables.recvSlots.size(); ++i) {
        EXPECT_EQ(tables.recvSlots[i].frameSync != nullptr, i >= 8) << "slot " << i;
    }
    EXPECT_TRUE(blocksUntilCaptured(names, 2));
}

TEST_F(ReceiverTest, onlyUsedActiveSourcesGetReceiversAndAudioComesOneBlockAfterOpening) {
    LocalSource source("Used Later", LocalSource::audio(2));
    NDIRecvData& slot = tables.addSource(source.name(), 0);
    block();
    EXPECT_EQ(slot.receiver, nullptr);
    EXPECT_EQ(tables.container(source.name()).audioFrame.p_data, nullptr);

    tables.counts[source.name()] = 1;
    block();
    EXPECT_NE(slot.frameSync, nullptr);
    EXPECT_FALSE(tables.ready.at(source.name())); // this block only opened it
    EXPECT_TRUE(blocksUntilCaptured({source.name()}, 2));

    slot.active = false; // the source vanished: still open, nothing captured
    block();
    EXPECT_NE(slot.frameSync, nullptr);
    EXPECT_FALSE(tables.ready.at(source.name()));
    EXPECT_EQ(tables.container(source.name()).audioFrame.p_data, nullptr);

    tables.counts[source.name()] = 0; // nobody uses it: closed, container emptied
    slot.active = true;
    block();
    EXPECT_EQ(slot.frameSync, nullptr);
    EXPECT_EQ(slot.receiver, nullptr);
    EXPECT_EQ(tables.container(source.name()).frameSync, nullptr);
}

TEST_F(ReceiverTest, sourceUsedOnlyForVideoKeepsItsReceiverAndAudio) {
    LocalSource source("Video Only Use", LocalSource::audio(2));
    NDIRecvData& slot = tables.addSource(source.name(), 0);
    listener.setUsedForVideo(source.name(), true);
    EXPECT_TRUE(blocksUntilCaptured({source.name()}, 2));
    listener.setUsedForVideo(source.name(), false);
    block();
    EXPECT_EQ(slot.frameSync, nullptr);
}

TEST_F(ReceiverTest, failedCreateLeavesSlotClosedLogsOnceAndRetries) {
    receiverWarnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler(countReceiverWarnings);
    NDIRecvData& slot = tables.addSource("", 1); // the runtime refuses a receiver for an empty name
    for (int i = 0; i < 3; ++i) {
        block();
        EXPECT_EQ(slot.receiver, nullptr);
        EXPECT_EQ(slot.frameSync, nullptr);
        EXPECT_FALSE(tables.ready.at(""));
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(slot.openFailed);
    EXPECT_EQ(receiverWarnings.load(), 1);
}

// A capture task that still runs must not lose its receiver: update waits for
// it before it destroys anything.
class GatedListener : public nditest::RecordingListener {
public:
    bool isSourceUsedForVideo(std::string sourceName) override {
        if (gateNext.exchange(false)) {
            std::unique_lock lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
        }
        return RecordingListener::isSourceUsedForVideo(std::move(sourceName));
    }
    std::atomic<bool> gateNext{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
};

TEST(ReceiverOrder, updateClosesReceiversOnlyAfterThePreviousCapturesFinished) {
    nditest::PrivateNdiDir dir;
    finderRunning = true;
    LocalSource source("Gated", LocalSource::audio(2));
    nditest::Tables tables;
    NoSenders finderListener;
    NDISourceFinder finder;
    GatedListener listener;
    NDIRx rx(&tables.recvSlots, &tables.frames, &tables.counts, &tables.ready, &tables.captureTasks, &finder, &listener,
             &tables.tablesMutex);
    rx.setFormat(48000, 512);
    NDIRecvData& slot = tables.addSource(source.name(), 0);
    listener.setUsedForVideo(source.name(), true);
    rx.captureRange(0, 8); // opens it
    ASSERT_NE(slot.frameSync, nullptr);

    // The capture task stops inside its use check, frame-sync in hand.
    listener.gateNext = true;
    rx.startCaptureTasks();
    {
        std::unique_lock lock(listener.mutex);
        listener.changed.wait(lock, [&] { return listener.entered; });
    }
    listener.setUsedForVideo(source.name(), false);
    auto update = std::async(std::launch::async, [&] { rx.update(); });
    EXPECT_EQ(update.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    {
        std::lock_guard lock(listener.mutex);
        listener.open = true;
    }
    listener.changed.notify_all();
    update.get();
    EXPECT_EQ(slot.frameSync, nullptr);
    finderRunning = false;
}

} // namespace
