// The audio engine's figures: the block routing against a plain memcpy of the
// same bytes, one write of the default file for a full routing, and the
// software clock's rate and period jitter.
#include "audio/AudioController.h"
#include "audio/BlockRouter.h"
#include "audio/VirtualAudioDevice.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kBlock = 512;
constexpr int kSenders = 64;
constexpr int kSources = 64;
constexpr int kChannels = 16;
// One block lasts 512 / 48000 s.
constexpr double kBlockSeconds = 512.0 / 48000.0;

// Runs `body` once per iteration; reports the share of one block period that
// an iteration takes (wall clock), in percent.
template <class Body> void timedLoop(benchmark::State& state, Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["blockSharePercent"] = 100.0 * seconds / static_cast<double>(state.iterations()) / kBlockSeconds;
}

// 64 senders of 16 channels, sender s channel k fed from source (s + k) mod 64
// channel (k + s) mod 16: every byte crosses the cache once per block.
struct FullRouting {
    SenderTable senders;
    SenderChannelMappings mappings;
    SourceFrames frames;
    SourceAudioReady ready;
    std::vector<std::unique_ptr<float[]>> buffers;
    BlockRouter router;

    FullRouting() {
        for (int i = 0; i < kSources; ++i) {
            const std::string name = "HOST (Source " + std::to_string(i) + ")";
            auto data = std::make_unique<float[]>(kChannels * kBlock);
            std::fill_n(data.get(), kChannels * kBlock, static_cast<float>(i));
            auto container = std::make_unique<FramesContainer>();
            container->audioFrame.no_channels = kChannels;
            container->audioFrame.no_samples = kBlock;
            container->audioFrame.channel_stride_in_bytes = kBlock * static_cast<int>(sizeof(float));
            container->audioFrame.p_data = data.get();
            frames[name] = std::move(container);
            ready[name] = true;
            buffers.push_back(std::move(data));
        }
        for (int s = 0; s < kSenders; ++s) {
            const std::string name = "Sender " + std::to_string(s);
            Sender sender;
            sender.buffer = std::make_unique<float[]>(kChannels * kBlock);
            sender.audioFrame.no_channels = kChannels;
            sender.audioFrame.no_samples = kBlock;
            sender.audioFrame.channel_stride_in_bytes = kBlock * static_cast<int>(sizeof(float));
            sender.audioFrame.p_data = sender.buffer.get();
            senders.emplace(name, std::move(sender));
            auto& channels = mappings[name];
            for (int k = 0; k < kChannels; ++k) {
                channels.push_back(ChannelMapping{static_cast<uint32_t>((k + s) % kChannels),
                                                  "HOST (Source " + std::to_string((s + k) % kSources) + ")"});
            }
        }
        router.plan(senders, mappings, frames, ready);
    }
};

void BM_BlockRouting(benchmark::State& state) {
    FullRouting routing;
    timedLoop(state, [&] { routing.router.route(); });
    state.SetBytesProcessed(state.iterations() * int64_t{kSenders} * kChannels * kBlock * sizeof(float));
}
BENCHMARK(BM_BlockRouting);

// The yardstick: one memcpy of as many bytes as the routing writes.
void BM_MemcpySameBytes(benchmark::State& state) {
    const size_t floats = size_t{kSenders} * kChannels * kBlock;
    std::vector<float> from(floats, 1.0f);
    std::vector<float> to(floats);
    timedLoop(state, [&] { std::memcpy(to.data(), from.data(), floats * sizeof(float)); });
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(floats * sizeof(float)));
}
BENCHMARK(BM_MemcpySameBytes);

class SilentListener : public AudioController::Listener {
public:
    virtual ~SilentListener() = default;
    void sendersChanged(const SenderChannelMappings&, SenderVideoSources&) override {}
    void sourceAdded(const std::string&, int) override {}
    void sourceRemoved(const std::string&) override {}
    void sourceChannelsChanged(const std::string&, int) override {}
    void senderDelayChanged(const std::string&, int) override {}
};

class ManualClock : public VirtualAudioDevice {
public:
    void start(juce::AudioIODeviceCallback* callback) override { callback->audioDeviceAboutToStart(this); }
    void stop() override {}
};

// One coalesced write of the default file (the saver thread's work) for 64
// senders of 16 connected channels, in a scratch HOME.
void BM_DefaultFileWrite(benchmark::State& state) {
    std::string scratch = (std::filesystem::temp_directory_path() / "quorvane-bench-XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        state.SkipWithError("no scratch directory");
        return;
    }
    setenv("HOME", scratch.c_str(), 1);
    setenv("XDG_DATA_HOME", (scratch + "/data").c_str(), 1);
    setenv("QUORVANE_NDI_DIR", (scratch + "/ndi").c_str(), 1);
    {
        SilentListener listener;
        AudioController controller(&listener, std::make_unique<ManualClock>());
        const auto block = [&] {
            controller.audioDeviceIOCallbackWithContext(nullptr, 0, nullptr, 0, 0, {});
        };
        block();
        for (int s = 0; s < kSenders; ++s) {
            const std::string name = "Sender " + std::to_string(s);
            controller.addSender(name, kChannels);
            for (uint32_t k = 0; k < kChannels; ++k) {
                controller.addConnection("HOST (Source " + std::to_string(s) + ")", k, name, k);
            }
        }
        block();
        const std::string path = AudioController::defaultChannelMappingsPath();
        for (auto _ : state) {
            if (!controller.saveChannelMappings(path)) {
                state.SkipWithError("write failed");
                break;
            }
        }
        state.counters["fileBytes"] = static_cast<double>(std::filesystem::file_size(path));
    }
    std::filesystem::remove_all(scratch);
}
BENCHMARK(BM_DefaultFileWrite)->Unit(benchmark::kMillisecond);

// The software clock over 10 s: callbacks (937.5 expected) and how far each
// period strays from 512 / 48000 s, as the 50th and 99th percentiles.
class TimingCallback : public juce::AudioIODeviceCallback {
public:
    void audioDeviceIOCallbackWithContext(const float* const*, int, float* const*, int, int,
                                          const juce::AudioIODeviceCallbackContext&) override {
        if (times.size() < times.capacity()) {
            times.push_back(std::chrono::steady_clock::now());
        }
    }
    void audioDeviceAboutToStart(juce::AudioIODevice*) override {}
    void audioDeviceStopped() override {}
    std::vector<std::chrono::steady_clock::time_point> times;
};

void BM_VirtualClockTenSeconds(benchmark::State& state) {
    for (auto _ : state) {
        TimingCallback callback;
        callback.times.reserve(2000);
        VirtualAudioDevice device;
        device.start(&callback);
        std::this_thread::sleep_for(std::chrono::milliseconds(10200));
        device.stop();
        const auto& times = callback.times;
        if (times.size() < 2) {
            state.SkipWithError("no callbacks");
            return;
        }
        double inWindow = 0;
        std::vector<double> jitterUs;
        for (size_t i = 0; i < times.size(); ++i) {
            inWindow += times[i] - times.front() < std::chrono::seconds(10) ? 1 : 0;
            if (i > 0) {
                const double period = std::chrono::duration<double, std::micro>(times[i] - times[i - 1]).count();
                jitterUs.push_back(std::abs(period - kBlockSeconds * 1e6));
            }
        }
        std::sort(jitterUs.begin(), jitterUs.end());
        state.counters["callbacksPer10s"] = inWindow;
        state.counters["jitterP50us"] = jitterUs[jitterUs.size() / 2];
        state.counters["jitterP99us"] = jitterUs[jitterUs.size() * 99 / 100];
    }
}
BENCHMARK(BM_VirtualClockTenSeconds)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
