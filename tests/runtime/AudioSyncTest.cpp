// The frame-sync's audio timing, driven deterministically: a simulated source
// pushes frames at its own clock and a simulated capture pulls blocks at
// another, both counted in the capture's sample times.
#include "AudioSync.h"
#include "AudioPattern.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

using ndiruntime::AudioDescriptor;
using ndiruntime::AudioSync;

namespace {

struct Cadence {
    int sourceRate = 48000;
    int frameSize = 512;
    int captureRate = 48000;
    int blockSize = 512;
    double sourceSpeed = 1.0; // the source's clock relative to the capture's
    double jitter = 0.0;      // each frame arrives up to this many capture samples early or late
};

// Runs a source and a capture side by side and keeps every captured sample of
// the first channel. Successive runs continue the same streams.
class Simulation {
public:
    Simulation(Cadence cadence, int channels) : cadence(cadence), _channels(channels) {}

    // Runs for `seconds` of capture time. The source sends a sine or the exact
    // pattern; while sourcePaused its frames are lost, while capturePaused no
    // block is taken.
    void run(double seconds, bool pattern, bool sourcePaused = false, bool capturePaused = false) {
        const double captureEnd = _captureTime + seconds * cadence.captureRate;
        const double framePeriod =
            static_cast<double>(cadence.frameSize) / cadence.sourceRate * cadence.captureRate / cadence.sourceSpeed;
        std::vector<float> frame(static_cast<size_t>(_channels * cadence.frameSize));
        std::vector<float> block(static_cast<size_t>(_channels * cadence.blockSize));
        while (_captureTime < captureEnd) {
            if (_sourceTime + _offset <= _captureTime) {
                if (!sourcePaused) {
                    makeFrame(frame, pattern);
                    AudioDescriptor audio{cadence.sourceRate, _channels, cadence.frameSize, 0, 0, 0};
                    sync.push(audio, reinterpret_cast<const uint8_t*>(frame.data()));
                }
                sent += cadence.frameSize;
                _sourceTime += framePeriod;
                _offset = std::uniform_real_distribution<double>(-cadence.jitter, cadence.jitter)(_random);
                continue;
            }
            if (!capturePaused) {
                sync.pull(block.data(), _channels, cadence.blockSize, cadence.captureRate);
                captured.insert(captured.end(), block.begin(), block.begin() + cadence.blockSize);
            }
            maxFill = std::max(maxFill, sync.fill());
            _captureTime += cadence.blockSize;
        }
    }

    // Index of the first non-silent sample from `from` on.
    size_t firstSound(size_t from = 0) const {
        while (from < captured.size() && captured[from] == 0.0f)
            ++from;
        return from;
    }

    // The largest step between neighbouring samples in [from, to): a sine
    // stays below its slope, a dropout or a skipped run does not.
    double largestStep(size_t from, size_t to) const {
        double largest = 0;
        for (size_t index = from + 1; index < to; ++index)
            largest = std::max(largest, static_cast<double>(std::abs(captured[index] - captured[index - 1])));
        return largest;
    }

    static constexpr double frequency = 441.0;
    static constexpr double amplitude = 0.5;
    double sineStepLimit() const { return 1.1 * 2 * std::numbers::pi * frequency / cadence.captureRate * amplitude; }

    Cadence cadence;
    AudioSync sync;
    std::vector<float> captured;
    size_t maxFill = 0;
    int64_t sent = 0; // source samples sent so far, lost ones included

private:
    void makeFrame(std::vector<float>& frame, bool pattern) {
        if (pattern) {
            AudioPattern::fill(frame.data(), _channels, cadence.frameSize, sent);
            return;
        }
        for (int channel = 0; channel < _channels; ++channel)
            for (int index = 0; index < cadence.frameSize; ++index)
                frame[static_cast<size_t>(channel * cadence.frameSize + index)] =
                    static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                            static_cast<double>(sent + index) / cadence.sourceRate));
    }

    int _channels;
    double _sourceTime = 0;
    double _captureTime = 1; // a capture due with a frame runs just after it
    double _offset = 0;      // the next frame's jitter
    std::mt19937 _random{7};
};

// Checks that the samples in [from, to) are consecutive samples of the pattern.
void expectExactPattern(const std::vector<float>& captured, size_t from, size_t to) {
    ASSERT_LT(from, to);
    int64_t expected = AudioPattern::positionOf(captured[from], 0);
    ASSERT_GE(expected, 0) << "at sample " << from;
    for (size_t index = from; index < to; ++index) {
        ASSERT_EQ(AudioPattern::positionOf(captured[index], 0), expected) << "at sample " << index;
        expected = (expected + 1) % AudioPattern::cycle;
    }
}

} // namespace

TEST(FrameSyncAudio, givesNothingBeforeAnyAudio) {
    AudioSync sync;
    std::vector<float> block(2 * 64, 1.0f);
    sync.pull(block.data(), 2, 64, 48000);
    EXPECT_FALSE(sync.hasAudio());
    for (float sample : block)
        EXPECT_EQ(sample, 0.0f);
}

TEST(FrameSyncAudio, agreeingClocksPassSamplesBitExactWithAboutOneBlockOfLatency) {
    for (int frameSize : {512, 128, 1000}) {
        Simulation simulation({48000, frameSize, 48000, 512, 1.0}, 8);
        simulation.run(20.0, true);
        size_t first = simulation.firstSound();
        EXPECT_LE(first, 512u * 3) << "frames of " << frameSize;
        expectExactPattern(simulation.captured, first, simulation.captured.size());
        EXPECT_FALSE(simulation.sync.resampling());
        EXPECT_EQ(simulation.sync.underruns(), 0u);
        EXPECT_LE(simulation.maxFill, static_cast<size_t>(2 * std::max(512, frameSize) + 512));
    }
}

TEST(FrameSyncAudio, framesArrivingAroundCaptureTimeStillPassBitExact) {
    Simulation simulation({48000, 512, 48000, 512, 1.0, 150.0}, 2);
    simulation.run(30.0, true);
    size_t first = simulation.firstSound();
    expectExactPattern(simulation.captured, first, simulation.captured.size());
    EXPECT_EQ(simulation.sync.underruns(), 0u);
}

TEST(FrameSyncAudio, channelsPastTheSourcesAreSilent) {
    AudioSync sync;
    std::vector<float> frame(2 * 512);
    for (int64_t position = 0; position < 4 * 512; position += 512) {
        AudioPattern::fill(frame.data(), 2, 512, position);
        sync.push({48000, 2, 512, 0, 0, 0}, reinterpret_cast<const uint8_t*>(frame.data()));
    }
    std::vector<float> block(4 * 512, 1.0f);
    sync.pull(block.data(), 4, 512, 48000);
    EXPECT_EQ(AudioPattern::positionOf(block[512], 1), AudioPattern::positionOf(block[0], 0));
    for (size_t index = 2 * 512; index < block.size(); ++index)
        ASSERT_EQ(block[index], 0.0f);
}

// Takes about a second per direction: a minute of stream time each.
TEST(FrameSyncAudio, clockDriftIsAbsorbedWithoutDropouts) {
    for (double speed : {1.003, 0.997, 1.005, 0.995}) {
        Simulation simulation({48000, 512, 48000, 512, speed}, 1);
        simulation.run(60.0, false);
        size_t first = simulation.firstSound();
        EXPECT_EQ(simulation.sync.underruns(), 0u) << "speed " << speed;
        EXPECT_EQ(simulation.sync.overruns(), 0u) << "speed " << speed;
        EXPECT_LT(simulation.largestStep(first, simulation.captured.size()), simulation.sineStepLimit())
            << "speed " << speed;
        EXPECT_TRUE(simulation.sync.resampling());
        EXPECT_LE(simulation.maxFill, 6u * 512) << "speed " << speed;
    }
}

TEST(FrameSyncAudio, driftThatStopsEndsInBitExactPassThroughAgain) {
    Simulation simulation({48000, 512, 48000, 512, 1.003}, 1);
    simulation.run(10.0, true);
    ASSERT_TRUE(simulation.sync.resampling());
    simulation.cadence.sourceSpeed = 1.0;
    simulation.run(30.0, true);
    EXPECT_FALSE(simulation.sync.resampling());
    EXPECT_EQ(simulation.sync.underruns(), 0u);
    size_t lastFiveSeconds = simulation.captured.size() - 5 * 48000;
    expectExactPattern(simulation.captured, lastFiveSeconds, simulation.captured.size());
}

TEST(FrameSyncAudio, underrunGivesSilenceUntilTheSourceResumes) {
    Simulation simulation({48000, 512, 48000, 512, 1.0}, 2);
    simulation.run(2.0, true);
    size_t beforePause = simulation.captured.size();
    simulation.run(1.0, true, true);
    size_t afterPause = simulation.captured.size();
    simulation.run(2.0, true);

    size_t first = simulation.firstSound();
    size_t silenceStart = first;
    while (silenceStart < simulation.captured.size() && simulation.captured[silenceStart] != 0.0f)
        ++silenceStart;
    size_t resumed = simulation.firstSound(silenceStart);
    // The buffered samples play out after the source stopped; the silence
    // lasts the pause plus the refill, and sound comes back.
    EXPECT_GE(silenceStart, beforePause);
    EXPECT_LE(silenceStart, beforePause + 3 * 512);
    EXPECT_GE(resumed, afterPause);
    EXPECT_LE(resumed, afterPause + 4 * 512);
    EXPECT_EQ(simulation.sync.underruns(), 1u);
    expectExactPattern(simulation.captured, first, silenceStart);
    expectExactPattern(simulation.captured, resumed, simulation.captured.size());
}

TEST(FrameSyncAudio, overrunKeepsTheBufferBoundedAndTheLatencyLow) {
    Simulation simulation({48000, 512, 48000, 512, 1.0}, 2);
    simulation.run(1.0, true);
    simulation.run(2.0, true, false, true);
    size_t resumedAt = simulation.captured.size();
    simulation.run(2.0, true);

    EXPECT_GE(simulation.sync.overruns(), 1u);
    EXPECT_LE(simulation.maxFill, 8u * 512);
    // Capture resumes with recent samples, consecutive from then on.
    int64_t resumedPosition = AudioPattern::positionOf(simulation.captured[resumedAt], 0);
    int64_t sentThen = (simulation.sent - 2 * 48000) % AudioPattern::cycle;
    EXPECT_GE(resumedPosition, sentThen - 8 * 512);
    expectExactPattern(simulation.captured, resumedAt, simulation.captured.size());
}

TEST(FrameSyncAudio, otherSourceRateIsConverted) {
    Simulation simulation({44100, 441, 48000, 512, 1.0}, 2);
    simulation.run(6.0, false);
    size_t first = simulation.firstSound();
    EXPECT_LE(first, 4u * 512);
    EXPECT_EQ(simulation.sync.underruns(), 0u);
    EXPECT_LT(simulation.largestStep(first, simulation.captured.size()), simulation.sineStepLimit());
    // The tone keeps its pitch: count its rising zero crossings over 4 s.
    size_t crossings = 0;
    for (size_t index = first + 48000; index < first + 5 * 48000 && index < simulation.captured.size(); ++index)
        crossings += simulation.captured[index - 1] < 0.0f && simulation.captured[index] >= 0.0f;
    EXPECT_NEAR(static_cast<double>(crossings), 4 * Simulation::frequency, 2.0);
}
