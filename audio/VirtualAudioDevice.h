#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// The software clock used when no sound device opens: a thread that calls the
// block callback once per 512 samples at 48 kHz, with no buffers and 0
// samples. Block n is due at start + n x 512 / 48000 s, so the clock keeps the
// sample rate exactly on average (93.75 blocks a second). Time lost to a late
// block is not made up in a burst: a block that ends more than one period
// late re-anchors the schedule at the current time.
class VirtualAudioDevice : public juce::Thread, public juce::AudioIODevice {
public:
    VirtualAudioDevice();
    // The thread must already be stopped (stop()).
    ~VirtualAudioDevice() override;

    juce::StringArray getOutputChannelNames() override { return {}; }
    juce::StringArray getInputChannelNames() override { return {}; }
    juce::Array<double> getAvailableSampleRates() override { return {static_cast<double>(sampleRate)}; }
    juce::Array<int> getAvailableBufferSizes() override { return {bufferSize}; }
    int getDefaultBufferSize() override { return bufferSize; }
    juce::String open(const juce::BigInteger&, const juce::BigInteger&, double, int) override { return {}; }
    void close() override {}
    bool isOpen() override { return true; }
    // Stores the callback, runs its audioDeviceAboutToStart on the caller's
    // thread, then starts the clock thread.
    void start(juce::AudioIODeviceCallback* callback) override;
    // Asks the clock thread to stop and waits for it with no time limit (a
    // running block is let finish).
    void stop() override;
    bool isPlaying() override { return isThreadRunning(); }
    juce::String getLastError() override { return {}; }
    int getCurrentBufferSizeSamples() override { return bufferSize; }
    double getCurrentSampleRate() override { return static_cast<double>(sampleRate); }
    int getCurrentBitDepth() override { return 16; }
    juce::BigInteger getActiveOutputChannels() const override { return juce::BigInteger(2); }
    juce::BigInteger getActiveInputChannels() const override { return juce::BigInteger(2); }
    int getOutputLatencyInSamples() override { return 0; }
    int getInputLatencyInSamples() override { return 0; }

    // The length of one block: 512 / 48000 s.
    static constexpr std::chrono::nanoseconds period() {
        return std::chrono::nanoseconds(int64_t{1'000'000'000} * kBufferSize / kSampleRate);
    }

    const int sampleRate = kSampleRate;
    const int bufferSize = kBufferSize;

private:
    static constexpr int kSampleRate = 48000;
    static constexpr int kBufferSize = 512;

    // The clock loop, on the device's thread.
    void run() override;
    // Deadline of block `blocks` after `anchor`, exactly on the sample grid.
    static std::chrono::steady_clock::time_point deadlineAfter(std::chrono::steady_clock::time_point anchor,
                                                               int64_t blocks);

    juce::AudioIODeviceCallback* _callback = nullptr; // not owned; set before the thread starts
    std::mutex _sleepMutex;
    std::condition_variable _wake; // ends the sleep between blocks when the thread is asked to stop
};
