// A sender in a process of its own for the runtime's tests: publishes one
// stream and sends the test pattern of AudioPattern.h in real time until its
// time is up (60 s unless told otherwise), it is killed or the process that
// started it ends. Prints "ready" once the sender is published.
//
// quorvane-runtime-peer NAME [--host HOST] [--channels N] [--rate HZ]
//                            [--block SAMPLES] [--seconds S] [--linger S]
// --linger keeps the process alive for S seconds after its sender is destroyed.
#include "AudioPattern.h"
#include "NDIlib.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s NAME [--host HOST] [--channels N] [--rate HZ] [--block N] [--seconds S] [--linger S]\n",
                     argv[0]);
        return 2;
    }
    // A test that dies does not leave its peers running.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string host;
    int channels = 8;
    int rate = 48000;
    int block = 512;
    double seconds = 60.0;
    double linger = 0.0;
    for (int index = 2; index + 1 < argc; index += 2) {
        std::string option = argv[index];
        const char* value = argv[index + 1];
        if (option == "--host")
            host = value;
        else if (option == "--channels")
            channels = std::atoi(value);
        else if (option == "--rate")
            rate = std::atoi(value);
        else if (option == "--block")
            block = std::atoi(value);
        else if (option == "--seconds")
            seconds = std::atof(value);
        else if (option == "--linger")
            linger = std::atof(value);
    }
    std::string config = host.empty() ? std::string() : "{\"host\": \"" + host + "\"}";
    NDIlib_send_create_t settings{argv[1], nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, config.empty() ? nullptr : config.c_str());
    if (!sender)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<float> samples(static_cast<size_t>(channels) * static_cast<size_t>(block));
    NDIlib_audio_frame_v2_t frame{rate,           channels,  block,   NDIlib_send_timecode_synthesize,
                                  samples.data(), block * 4, nullptr, 0};
    auto period = std::chrono::duration<double>(static_cast<double>(block) / rate);
    auto start = std::chrono::steady_clock::now();
    for (int64_t sent = 0; std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds); ++sent) {
        AudioPattern::fill(samples.data(), channels, block, sent * block);
        NDIlib_send_send_audio_v2(sender, &frame);
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  period * static_cast<double>(sent + 1)));
    }
    NDIlib_send_destroy(sender);
    std::this_thread::sleep_for(std::chrono::duration<double>(linger));
    return 0;
}
