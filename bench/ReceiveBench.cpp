// Figures of the receiving side and the video pass-through, measured on the
// thread that plays the audio thread, with sources published in this process
// under a discovery directory of the benchmark's own. The block period is
// 512 samples at 48 kHz, 10.67 ms.
#include "ndi/NDIRx.h"
#include "ndi/VideoPassthrough.h"
#include "tests/ndi/NdiTestSupport.h"

#include <benchmark/benchmark.h>

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using nditest::LocalSource;
using Clock = std::chrono::steady_clock;

constexpr auto kBlockPeriod = std::chrono::microseconds(10667);

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

class NoSenders : public NDISourceFinder::Listener {
public:
    void sourcesChanged(const std::set<std::string>&) override {}
    const SenderChannelMappings& channelMappings() override { return none; }
    SenderChannelMappings none;
};

// A receiving engine over `count` used sources of `channels` channels each.
struct ReceiveRig {
    ReceiveRig(int count, int channels, LocalSource::Options options = {}) {
        qInstallMessageHandler(quiet);
        finderRunning = true;
        finder.setListener(&finderListener, &tables.tablesMutex);
        rx.setFormat(48000, 512);
        rx.requestWaitForCaptures();
        options.channels = channels;
        for (int i = 0; i < count; ++i) {
            options.sourceId = static_cast<uint32_t>(i + 1);
            sources.push_back(std::make_unique<LocalSource>("Source " + std::to_string(i), options));
            tables.addSource(sources.back()->name(), 1);
        }
    }
    ~ReceiveRig() {
        rx.stop();
        rx.waitForProbeTask();
        video.waitForVideoTask();
        rx.waitForCaptures();
        video.releaseAllVideo();
        tables.senders.clear();
        rx.closeAllSlots();
        tables.frames.clear();
        finderRunning = false;
    }
    void clearReady() {
        for (auto& [name, ready] : tables.ready) {
            ready = false;
        }
    }
    // Blocks until every source delivers audio, so that receivers are open and fed.
    void warmUp() {
        for (int block = 0; block < 300; ++block) {
            rx.update();
            clearReady();
            rx.startCaptureTasks();
            std::this_thread::sleep_for(kBlockPeriod);
            rx.waitForCaptures();
            if (std::all_of(tables.ready.begin(), tables.ready.end(), [](const auto& entry) { return entry.second; })) {
                return;
            }
        }
    }

    nditest::PrivateNdiDir dir;
    nditest::Tables tables;
    NoSenders finderListener;
    NDISourceFinder finder;
    nditest::RecordingListener listener;
    std::vector<std::unique_ptr<LocalSource>> sources;
    NDIRx rx{&tables.recvSlots,    &tables.frames, &tables.counts, &tables.ready,
             &tables.captureTasks, &finder,        &listener,      &tables.tablesMutex};
    VideoPassthrough video{&tables.senders,    &tables.videoSources, &tables.frames, &tables.recvSlots, &rx,
                           &tables.tablesMutex};
};

// NDIRx::update with 64 used, open sources whose captures have finished: the
// walk over the slots, no network wait. Target: below 5% of the block period.
void BM_ReceiverUpdate64UsedSources(benchmark::State& state) {
    ReceiveRig rig(64, 2);
    rig.warmUp();
    for (auto _ : state) {
        rig.rx.update();
    }
}
BENCHMARK(BM_ReceiverUpdate64UsedSources)->Unit(benchmark::kMicrosecond);

// One block's capture of 64 sources x 16 channels: from starting the capture
// tasks until the last one finished. Target: within one block period.
void BM_Capture64SourcesOf16Channels(benchmark::State& state) {
    ReceiveRig rig(64, 16);
    rig.warmUp();
    for (auto _ : state) {
        const auto start = Clock::now();
        rig.clearReady();
        rig.rx.startCaptureTasks();
        rig.rx.waitForCaptures();
        const auto taken = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(taken).count());
        std::this_thread::sleep_for(kBlockPeriod - std::min<Clock::duration>(taken, kBlockPeriod));
    }
}
BENCHMARK(BM_Capture64SourcesOf16Channels)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(300);

// One frame-sync capture of a 16-channel block, and its release, through the
// runtime in use (QUORVANE_NDI_RUNTIME): the share of a block's capture that
// the runtime's calls cost, without the capture tasks' scheduling.
void BM_FrameSyncCapture16Channels(benchmark::State& state) {
    qInstallMessageHandler(quiet);
    nditest::PrivateNdiDir dir;
    LocalSource source("Capture Source", LocalSource::audio(16));
    const NDIRuntime& ndi = NDIRuntime::active();
    NDIlib_recv_create_v3_t settings{};
    settings.source_to_connect_to.p_ndi_name = source.name().c_str();
    settings.color_format = ndi.passThroughColourFormat();
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    NDIlib_recv_instance_t receiver = ndi.createReceiver(settings);
    NDIlib_framesync_instance_t frameSync = ndi.calls().framesync_create(receiver);
    const auto capture = [&] {
        NDIlib_audio_frame_v2_t frame{};
        ndi.calls().framesync_capture_audio(frameSync, &frame, 48000, 0, 512);
        const int channels = frame.no_channels;
        ndi.calls().framesync_free_audio(frameSync, &frame);
        return channels;
    };
    nditest::eventually([&] { return capture() == 16; });
    for (auto _ : state) {
        benchmark::DoNotOptimize(capture());
    }
    ndi.calls().framesync_destroy(frameSync);
    ndi.calls().recv_destroy(receiver);
}
BENCHMARK(BM_FrameSyncCapture16Channels)->Unit(benchmark::kMicrosecond);

// VideoPassthrough::update on the audio thread while 8 senders pass 1080p
// pictures (UYVY, 4 MB) of 8 sources at 30000/1001 through, blocks running at
// their period. Target: below 5% of the block period.
void BM_VideoUpdate8Senders1080p(benchmark::State& state) {
    LocalSource::Options options = LocalSource::audioAndVideo(2);
    options.pictureWidth = 1920;
    options.pictureHeight = 1080;
    ReceiveRig rig(8, 2, options);
    {
        std::lock_guard lock(rig.tables.tablesMutex);
        for (int i = 0; i < 8; ++i) {
            Sender sender;
            sender.name = "Zelka Sender " + std::to_string(i + 1);
            sender.pointSettingsAtName();
            sender.createSettings.clock_video = true;
            sender.sendInstance = NDIRuntime::active().createSender(sender.createSettings);
            rig.tables.videoSources[sender.name] = rig.sources[static_cast<size_t>(i)]->name();
            rig.listener.setUsedForVideo(rig.sources[static_cast<size_t>(i)]->name(), true);
            rig.tables.senders.emplace(sender.name, std::move(sender));
        }
    }
    rig.warmUp();
    // A viewer of one sender counts the pictures that arrive: the pass-through
    // keeps the source's rate although the audio thread never waits for it.
    std::atomic<bool> viewing{true};
    std::atomic<int64_t> received{0};
    std::thread viewer([&] {
        const std::string name = nditest::upperCased(nditest::localHost()) + " (Zelka Sender 1)";
        NDIlib_recv_create_v3_t settings{};
        settings.source_to_connect_to.p_ndi_name = name.c_str();
        settings.color_format = NDIlib_recv_color_format_compressed_v5;
        settings.bandwidth = NDIlib_recv_bandwidth_highest;
        NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
        while (viewing) {
            NDIlib_video_frame_v2_t picture{};
            if (NDIlib_recv_capture_v2(receiver, &picture, nullptr, nullptr, 100) == NDIlib_frame_type_video) {
                ++received;
                NDIlib_recv_free_video_v2(receiver, &picture);
            }
        }
        NDIlib_recv_destroy(receiver);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int64_t receivedBefore = received;
    const auto begin = Clock::now();
    auto next = begin;
    for (auto _ : state) {
        rig.rx.update();
        const auto start = Clock::now();
        rig.video.update();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        rig.clearReady();
        rig.rx.startCaptureTasks();
        next += kBlockPeriod;
        std::this_thread::sleep_until(next);
    }
    state.counters["picturesPerSecond"] =
        double(received - receivedBefore) / std::chrono::duration<double>(Clock::now() - begin).count();
    viewing = false;
    viewer.join();
}
BENCHMARK(BM_VideoUpdate8Senders1080p)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(500);

} // namespace
