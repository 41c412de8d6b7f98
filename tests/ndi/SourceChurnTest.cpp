#include "ndi/NDIRx.h"
#include "ndi/VideoPassthrough.h"

#include "NdiTestSupport.h"
#include "PictureLedger.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using nditest::LocalSource;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// The controller's part of discovery, cut down to what the receiver needs:
// the finder's changes become queued events, applied on the block thread under
// the tables mutex before the captures start.
class ChurnController : public NDISourceFinder::Listener {
public:
    struct Event {
        bool added;
        std::string name;
    };

    // Discovery task thread.
    void sourcesChanged(const std::set<std::string>& sources) override {
        std::vector<Event> events;
        for (auto it = _present.begin(); it != _present.end();) {
            if (sources.count(*it) == 0) {
                events.push_back({false, *it});
                it = _present.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::string& name : sources) {
            if (_present.insert(name).second) {
                events.push_back({true, name});
            }
        }
        std::lock_guard lock(_queueMutex);
        _queue.insert(_queue.end(), events.begin(), events.end());
        _changes = true;
    }
    const SenderChannelMappings& channelMappings() override { return _own; }

    std::deque<Event> take() {
        std::lock_guard lock(_queueMutex);
        return std::exchange(_queue, {});
    }
    bool changed() const { return _changes; }

private:
    std::set<std::string> _present;                     // discovery task only
    SenderChannelMappings _own{{"Zelka Sender 1", {}}}; // published by this test: never a source
    std::mutex _queueMutex;
    std::deque<Event> _queue;
    std::atomic<bool> _changes{false};
};

// 200 sources, a fifth of them replaced every 2 seconds by sources whose names
// come back later, while blocks capture the used ones and the video task
// passes one through. Slots, receivers and pictures stay bounded and all go
// back at shutdown; the AddressSanitizer build checks for leaks, the
// ThreadSanitizer build for tables touched under running capture tasks.
// Takes about 12 s (about 35 s under ThreadSanitizer).
TEST(SourceChurn, comingAndGoingSourcesLeaveEverythingBoundedAndReturned) {
    const QtMessageHandler previous = qInstallMessageHandler(quiet);
    nditest::PrivateNdiDir dir;
    finderRunning = true;
    nditest::Tables tables;
    ChurnController controller;
    NDISourceFinder finder;
    finder.setListener(&controller, &tables.tablesMutex);
    nditest::RecordingListener listener;
    NDIRx rx(&tables.recvSlots, &tables.frames, &tables.counts, &tables.ready, &tables.captureTasks, &finder, &listener,
             &tables.tablesMutex);
    VideoPassthrough video(&tables.senders, &tables.videoSources, &tables.frames, &tables.recvSlots, &rx,
                           &tables.tablesMutex);
    rx.setFormat(48000, 512);

    constexpr int kStable = 160, kFlapping = 40;
    std::vector<std::unique_ptr<LocalSource>> stable;
    LocalSource::Options withVideo = LocalSource::audioAndVideo(2);
    stable.push_back(std::make_unique<LocalSource>("Stable 0", withVideo));
    for (int i = 1; i < kStable; ++i) {
        stable.push_back(std::make_unique<LocalSource>("Stable " + std::to_string(i), LocalSource::audio(2)));
    }
    std::vector<std::unique_ptr<LocalSource>> flapping;
    auto publishFlapping = [&](char set) {
        flapping.clear();
        for (int i = 0; i < kFlapping; ++i) {
            flapping.push_back(
                std::make_unique<LocalSource>(std::string("Flap ") + set + std::to_string(i), LocalSource::audio(1)));
        }
    };
    publishFlapping('A');

    // Every tenth source is routed, plus every flapping one with an even number.
    auto routed = [](const std::string& name) {
        const size_t digit = name.find_last_of("0123456789");
        return digit != std::string::npos && (name[digit] - '0') % 2 == 0 &&
               (name.find("Flap") != std::string::npos || name[digit] == '0');
    };
    Sender sender;
    sender.name = "Zelka Sender 1";
    sender.pointSettingsAtName();
    sender.sendInstance = NDIlib_send_create_v2(&sender.createSettings, nullptr);
    VideoPassthrough::setDelay(sender, -100);
    tables.senders.emplace(sender.name, std::move(sender));
    tables.videoSources["Zelka Sender 1"] = stable[0]->name();
    listener.setUsedForVideo(stable[0]->name(), true);

    std::atomic<bool> stop{false};
    std::atomic<size_t> mostOpen{0};
    std::thread blocks([&] {
        while (!stop) {
            rx.update();
            video.update();
            {
                std::lock_guard lock(tables.tablesMutex);
                for (const ChurnController::Event& event : controller.take()) {
                    const bool known = tables.frames.count(event.name) != 0;
                    if (event.added && !known) {
                        tables.addSource(event.name, routed(event.name) ? 1 : 0);
                        continue;
                    }
                    for (NDIRecvData& slot : tables.recvSlots) {
                        if (slot.sourceName == event.name) {
                            slot.active = event.added;
                            tables.frames.at(event.name)->active = event.added;
                            if (event.added) {
                                rx.resetSlot(slot); // a returning source gets a fresh receiver
                            }
                        }
                    }
                }
            }
            if (controller.changed()) {
                rx.requestWaitForCaptures();
            }
            size_t open = 0;
            for (const NDIRecvData& slot : tables.recvSlots) {
                open += slot.frameSync != nullptr ? 1 : 0;
            }
            mostOpen = std::max(mostOpen.load(), open);
            for (auto& [name, ready] : tables.ready) {
                ready = false;
            }
            rx.startCaptureTasks();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    for (int round = 0; round < 5; ++round) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        publishFlapping(round % 2 ? 'A' : 'B');
    }
    stop = true;
    blocks.join();

    // The controller's shutdown order.
    rx.update();
    rx.stop();
    rx.waitForProbeTask();
    video.update();
    video.waitForVideoTask();
    rx.waitForCaptures();
    EXPECT_GT(tables.recvSlots.size(), size_t(kStable)); // discovery kept up with the churn
    EXPECT_LE(tables.recvSlots.size(), size_t(kStable + 2 * kFlapping));
    EXPECT_LE(mostOpen.load(), size_t(1 + kStable / 10 + kFlapping)); // only used sources hold receivers
    video.releaseAllVideo();
    tables.senders.clear();
    rx.closeAllSlots();
    for (const NDIRecvData& slot : tables.recvSlots) {
        EXPECT_EQ(slot.frameSync, nullptr);
    }
    tables.frames.clear();
    EXPECT_EQ(ndiruntime::PictureLedger::instance().outstanding(), 0u);
    finderRunning = false;
    qInstallMessageHandler(previous);
}

} // namespace
