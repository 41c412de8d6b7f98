#include "audio/VirtualAudioDevice.h"

#include <cstdio>

VirtualAudioDevice::VirtualAudioDevice()
    : juce::Thread("Virtual Audio Device"), juce::AudioIODevice("Virtual Audio Device", "Virtual Audio Device") {}

VirtualAudioDevice::~VirtualAudioDevice() {
    stop();
}

void VirtualAudioDevice::start(juce::AudioIODeviceCallback* callback) {
    _callback = callback;
    if (_callback != nullptr) {
        _callback->audioDeviceAboutToStart(this);
    }
    startThread();
}

void VirtualAudioDevice::stop() {
    signalThreadShouldExit();
    {
        // Taking the mutex orders the flag before the wake-up: the sleep cannot miss it.
        std::lock_guard lock(_sleepMutex);
    }
    _wake.notify_all();
    waitForThreadToExit(-1);
}

std::chrono::steady_clock::time_point VirtualAudioDevice::deadlineAfter(std::chrono::steady_clock::time_point anchor,
                                                                        int64_t blocks) {
    // blocks x 512 / 48000 s in whole nanoseconds, without accumulating rounding.
    return anchor + std::chrono::nanoseconds(blocks * int64_t{1'000'000'000} * kBufferSize / kSampleRate);
}

void VirtualAudioDevice::run() {
    using Clock = std::chrono::steady_clock;
    auto anchor = Clock::now();
    int64_t blocks = 0;
    const juce::AudioIODeviceCallbackContext context{};
    while (!threadShouldExit()) {
        const auto t0 = Clock::now();
        const auto deadline = deadlineAfter(anchor, blocks + 1);
        if (_callback != nullptr) {
            _callback->audioDeviceIOCallbackWithContext(nullptr, 0, nullptr, 0, 0, context);
        }
        ++blocks;
        const auto t2 = Clock::now();
        if (deadline < t2) {
            std::fprintf(stderr, "callbacks taking too long!\n%lld\n%lld\n", static_cast<long long>((t2 - t0).count()),
                         static_cast<long long>((t2 - deadline).count()));
            if (t2 - deadline > period()) {
                // Too late to catch up without a burst: the schedule restarts now.
                anchor = t2;
                blocks = 0;
                continue;
            }
        }
        std::unique_lock lock(_sleepMutex);
        _wake.wait_until(lock, deadline, [this] { return threadShouldExit(); });
    }
}
