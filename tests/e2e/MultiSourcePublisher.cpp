// quorvane-e2e-publisher: publishes many NDI test sources from one process, for
// tests that need more sources than separate quorvane-testsrc processes allow.
// Source i is named "<prefix> <i, three digits>" and carries the counter test
// signal with source id <first-id> + i on every channel, paced by the steady
// clock like quorvane-testsrc. Runs until SIGINT or SIGTERM.
//
// Usage: quorvane-e2e-publisher PREFIX COUNT CHANNELS FIRST_ID
#include "tools/TestSignal.h"

#include <NDIlib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 512;
// A publisher that fell this far behind the clock skips ahead instead of
// sending a burst.
constexpr int64_t kMaxBehindNs = 200'000'000;

std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested.store(true);
}

struct Source {
    std::string name;
    NDIlib_send_instance_t sender = nullptr;
    std::vector<uint32_t> words; // one tag word per channel
};

bool parse(const char* text, int low, int high, int& out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int count = 0, channels = 0, firstId = 0;
    if (argc != 5 || !parse(argv[2], 1, 1000, count) || !parse(argv[3], 1, 64, channels) ||
        !parse(argv[4], 0, TestSignal::kMaxSourceId, firstId) || firstId + count - 1 > TestSignal::kMaxSourceId) {
        std::fprintf(stderr, "usage: quorvane-e2e-publisher PREFIX COUNT(1-1000) CHANNELS(1-64) FIRST_ID\n");
        return 2;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    if (!NDIlib_initialize()) {
        std::fprintf(stderr, "quorvane-e2e-publisher: the NDI runtime did not start\n");
        return 1;
    }

    std::vector<Source> sources(static_cast<size_t>(count));
    int status = 0;
    for (int i = 0; i < count && status == 0; ++i) {
        Source& source = sources[static_cast<size_t>(i)];
        char number[16];
        std::snprintf(number, sizeof number, "%03d", i);
        source.name = std::string(argv[1]) + " " + number;
        for (int ch = 0; ch < channels; ++ch)
            source.words.push_back(TestSignal::tagWord({firstId + i, ch, kRate}).value_or(0));
        NDIlib_send_create_t settings{};
        settings.p_ndi_name = source.name.c_str();
        settings.clock_audio = false; // paced below, by deadline
        source.sender = NDIlib_send_create_v2(&settings, nullptr);
        if (source.sender == nullptr) {
            std::fprintf(stderr, "quorvane-e2e-publisher: no sender for \"%s\"\n", source.name.c_str());
            status = 1;
        }
    }
    if (status == 0)
        std::printf("publishing %d sources\n", count);
    std::fflush(stdout);

    std::vector<float> audio(static_cast<size_t>(channels) * kBlock);
    int64_t sample = TestSignal::sampleIndexAt(TestSignal::clockNs(), kRate);
    while (status == 0 && !stopRequested.load()) {
        const int64_t due = TestSignal::sampleTimeNs(sample + kBlock, kRate);
        const int64_t now = TestSignal::clockNs();
        if (now < due) {
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
            continue;
        }
        if (now - due > kMaxBehindNs)
            sample = TestSignal::sampleIndexAt(now, kRate) - kBlock;
        for (Source& source : sources) {
            for (int ch = 0; ch < channels; ++ch)
                TestSignal::fill(audio.data() + static_cast<size_t>(ch) * kBlock, kBlock,
                                 source.words[static_cast<size_t>(ch)], sample);
            NDIlib_audio_frame_v2_t frame{};
            frame.sample_rate = kRate;
            frame.no_channels = channels;
            frame.no_samples = kBlock;
            frame.timecode = TestSignal::sampleTimeNs(sample, kRate) / 100;
            frame.p_data = audio.data();
            frame.channel_stride_in_bytes = kBlock * static_cast<int>(sizeof(float));
            NDIlib_send_send_audio_v2(source.sender, &frame);
        }
        sample += kBlock;
    }

    for (Source& source : sources)
        NDIlib_send_destroy(source.sender);
    NDIlib_destroy();
    return status;
}
