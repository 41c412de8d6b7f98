// The NDI runtime on loopback: how long audio takes from send to receive, how
// much the frame-sync adds, what 8 sources of 8 channels cost the receiving
// process, and a minute-long stream checked for dropouts.
//
//   build/bin/quorvane-bench --benchmark_filter=Runtime
#include "NDIlib.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int sampleRate = 48000;
constexpr int blockSize = 512;
constexpr auto blockPeriod = std::chrono::microseconds(blockSize * 1000000 / sampleRate);

// Each benchmark publishes into a directory of its own.
class PrivateRegistry {
public:
    PrivateRegistry() {
        char pattern[] = "/tmp/quorvane-ndi-bench-XXXXXX";
        _directory = mkdtemp(pattern);
        setenv("QUORVANE_NDI_DIR", _directory.c_str(), 1);
    }
    ~PrivateRegistry() {
        unsetenv("QUORVANE_NDI_DIR");
        std::filesystem::remove_all(_directory);
    }

private:
    std::string _directory;
};

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string host = name;
    for (char& c : host)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return host;
}

// Sample k of a stream: its position, exactly, in channel 0 (modulo 2^24).
float marker(int64_t position) {
    return static_cast<float>(position % (1 << 24) + 1);
}
int64_t positionOf(float sample) {
    return static_cast<int64_t>(sample) - 1;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

NDIlib_recv_create_v3_t receiverSettings(const std::string& name) {
    return {
        {name.c_str(), nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
}

// Sends `streams` streams of `channels` channels in real time from a child
// process until it is killed: block b goes out at start + b block periods
// (steady clock, shared by both processes) and carries positions
// b * blockSize... in channel 0.
pid_t startSenderProcess(int streams, int channels, Clock::time_point start) {
    pid_t child = fork();
    if (child != 0)
        return child;
    std::vector<NDIlib_send_instance_t> senders;
    for (int stream = 0; stream < streams; ++stream) {
        std::string name = "Bench " + std::to_string(stream);
        NDIlib_send_create_t settings{name.c_str(), nullptr, true, false};
        senders.push_back(NDIlib_send_create_v2(&settings, nullptr));
    }
    std::vector<float> samples(static_cast<size_t>(channels * blockSize), 0.25f);
    NDIlib_audio_frame_v2_t frame{sampleRate,     channels,      blockSize, NDIlib_send_timecode_synthesize,
                                  samples.data(), blockSize * 4, nullptr,   0};
    for (int64_t block = 0;; ++block) {
        std::this_thread::sleep_until(start + blockPeriod * block);
        for (int index = 0; index < blockSize; ++index)
            samples[static_cast<size_t>(index)] = marker(block * blockSize + index);
        for (auto sender : senders)
            NDIlib_send_send_audio_v2(sender, &frame);
    }
}

void stopProcess(pid_t child, rusage* usage = nullptr) {
    kill(child, SIGKILL);
    int status = 0;
    rusage ignored{};
    wait4(child, &status, 0, usage ? usage : &ignored);
}

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

// From NDIlib_send_send_audio_v2 to the block coming out of
// NDIlib_recv_capture_v2 in another thread: the transport alone, one 8-channel
// block every 10 ms.
static void RuntimeAudioTransportLatency(benchmark::State& state) {
    PrivateRegistry registry;
    NDIlib_send_create_t settings{"Latency", nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, nullptr);
    const std::string name = hostName() + " (Latency)";
    auto receiverConfig = receiverSettings(name);
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&receiverConfig, nullptr);
    NDIlib_audio_frame_v2_t received{};
    NDIlib_recv_capture_v2(receiver, nullptr, &received, nullptr, 5000);

    std::vector<float> samples(8 * blockSize, 0.5f);
    NDIlib_audio_frame_v2_t frame{sampleRate, 8, blockSize, 0, samples.data(), blockSize * 4, nullptr, 0};
    std::vector<double> latencies;
    for (auto _ : state) {
        for (int block = 0; block < 500; ++block) {
            auto sent = Clock::now();
            NDIlib_send_send_audio_v2(sender, &frame);
            if (NDIlib_recv_capture_v2(receiver, nullptr, &received, nullptr, 1000) == NDIlib_frame_type_audio) {
                latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
                NDIlib_recv_free_audio_v2(receiver, &received);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    state.counters["median_ms"] = percentile(latencies, 0.5);
    state.counters["p99_ms"] = percentile(latencies, 0.99);
    state.counters["blocks"] = static_cast<double>(latencies.size());
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}
BENCHMARK(RuntimeAudioTransportLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Captures one block per block period from every frame-sync and watches the
// first stream's positions: for each block, how long ago its first sample was
// sent (the frame-sync's buffer included), and every dropout.
class CadencedCapture {
public:
    CadencedCapture(int streams, Clock::time_point start) : _start(start) {
        for (int stream = 0; stream < streams; ++stream) {
            _names.push_back(hostName() + " (Bench " + std::to_string(stream) + ")");
            auto settings = receiverSettings(_names.back());
            _receivers.push_back(NDIlib_recv_create_v4(&settings, nullptr));
            _frameSyncs.push_back(NDIlib_framesync_create(_receivers.back()));
        }
    }
    ~CadencedCapture() {
        for (size_t index = 0; index < _receivers.size(); ++index) {
            NDIlib_framesync_destroy(_frameSyncs[index]);
            NDIlib_recv_destroy(_receivers[index]);
        }
    }

    void run(std::chrono::seconds duration) {
        auto begin = Clock::now();
        for (int64_t block = 0; Clock::now() - begin < duration; ++block) {
            for (size_t index = 0; index < _frameSyncs.size(); ++index) {
                NDIlib_audio_frame_v2_t frame{};
                NDIlib_framesync_capture_audio(_frameSyncs[index], &frame, sampleRate, 0, blockSize);
                if (index == 0)
                    check(frame);
                NDIlib_framesync_free_audio(_frameSyncs[index], &frame);
            }
            std::this_thread::sleep_until(begin + blockPeriod * (block + 1));
        }
    }

    std::vector<double> latencies; // ms from sending a block's first sample to capturing it
    int64_t dropouts = 0;          // silent or missing samples after the first sound
    int64_t samples = 0;

private:
    void check(const NDIlib_audio_frame_v2_t& frame) {
        auto now = Clock::now();
        for (int index = 0; frame.p_data && index < frame.no_samples; ++index) {
            float sample = frame.p_data[index];
            if (sample == 0.0f) {
                dropouts += _expected >= 0;
                continue;
            }
            int64_t position = positionOf(sample);
            if (_expected >= 0 && position != _expected)
                dropouts += std::max<int64_t>(1, position - _expected);
            if (index == 0) {
                auto sent = _start + blockPeriod * (position / blockSize);
                latencies.push_back(std::chrono::duration<double, std::milli>(now - sent).count());
            }
            _expected = position + 1;
            ++samples;
        }
    }

    Clock::time_point _start;
    std::vector<std::string> _names;
    std::vector<NDIlib_recv_instance_t> _receivers;
    std::vector<NDIlib_framesync_instance_t> _frameSyncs;
    int64_t _expected = -1;
};

// End to end through the frame-sync: a sender process streams 8 channels and
// this process captures a block every block period. The figure includes the
// frame-sync's buffer (about one to two blocks) and the capture's phase; the
// transport alone is RuntimeAudioTransportLatency.
static void RuntimeFrameSyncLatency(benchmark::State& state) {
    PrivateRegistry registry;
    auto start = Clock::now() + std::chrono::milliseconds(200);
    pid_t child = startSenderProcess(1, 8, start);
    {
        CadencedCapture capture(1, start);
        for (auto _ : state)
            capture.run(std::chrono::seconds(10));
        state.counters["median_ms"] = percentile(capture.latencies, 0.5);
        state.counters["p99_ms"] = percentile(capture.latencies, 0.99);
        state.counters["dropouts"] = static_cast<double>(capture.dropouts);
    }
    stopProcess(child);
}
BENCHMARK(RuntimeFrameSyncLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// 8 sources of 8 channels from a sender process into this one, captured block
// by block through 8 frame-syncs for 20 s: CPU time per second of each process,
// in percent of one core.
static void RuntimeReceiveCpu8x8(benchmark::State& state) {
    PrivateRegistry registry;
    auto start = Clock::now() + std::chrono::milliseconds(200);
    pid_t child = startSenderProcess(8, 8, start);
    double receiveCpu = 0;
    double seconds = 0;
    {
        CadencedCapture capture(8, start);
        capture.run(std::chrono::seconds(2));
        for (auto _ : state) {
            rusage before{};
            getrusage(RUSAGE_SELF, &before);
            auto begin = Clock::now();
            capture.run(std::chrono::seconds(20));
            seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            rusage after{};
            getrusage(RUSAGE_SELF, &after);
            receiveCpu = cpuSeconds(after) - cpuSeconds(before);
        }
        state.counters["dropouts"] = static_cast<double>(capture.dropouts);
    }
    rusage sender{};
    double senderSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    stopProcess(child, &sender);
    state.counters["receive_cpu_percent"] = 100.0 * receiveCpu / seconds;
    state.counters["send_cpu_percent"] = 100.0 * cpuSeconds(sender) / senderSeconds;
}
BENCHMARK(RuntimeReceiveCpu8x8)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A minute of 8 channels from a sender process through a frame-sync: every
// silent, skipped or repeated sample after the first sound counts as a dropout.
static void RuntimeAudioSoak(benchmark::State& state) {
    PrivateRegistry registry;
    auto start = Clock::now() + std::chrono::milliseconds(200);
    pid_t child = startSenderProcess(1, 8, start);
    {
        CadencedCapture capture(1, start);
        for (auto _ : state)
            capture.run(std::chrono::seconds(60));
        state.counters["dropouts"] = static_cast<double>(capture.dropouts);
        state.counters["seconds_of_sound"] = static_cast<double>(capture.samples) / sampleRate;
    }
    stopProcess(child);
}
BENCHMARK(RuntimeAudioSoak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
