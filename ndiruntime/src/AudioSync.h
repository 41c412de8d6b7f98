// Turns audio that arrives at the source's pace into blocks of exactly the
// size and rate that the capturing side asks for.
//
// Buffering: playback starts once the ring holds one capture block plus one
// source frame (plus a few dozen samples when resampling), so about one to two
// blocks of latency; a ring that climbs four blocks above that level is cut
// back to it by dropping the oldest samples (overrun). A capture that finds
// too little returns what there is followed by silence and refills before
// playing again (underrun).
//
// Clock drift: while the rates are equal, samples pass through bit for bit.
// The fill level after each capture is watched in windows of 16 captures.
// The reference is the lower quartile of the first window: when frames arrive
// just around capture time the level flips between two values a frame apart,
// which is no drift. When a window's median stays below the reference by half
// a frame, or above it by one and a half frames, for three windows in a row
// (half a second at 512 samples and 48 kHz), libsamplerate takes over with a
// varispeed ratio steered by a slow proportional-integral loop on the fill
// level (about 1.5 s time constant, corrections up to 1%). Once the
// correction has stayed negligible for a while, the samples the converter
// still holds are put back and the samples pass through exactly again.
// Different rates always go through the converter.
//
// Not thread-safe: the frame-sync serialises every call.
#pragma once

#include "AudioFifo.h"
#include "SampleRateConverter.h"
#include "WireFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ndiruntime {

class AudioSync {
public:
    // Appends one received frame (planar, channel after channel). A change of
    // channel count or rate starts afresh.
    void push(const AudioDescriptor& audio, const uint8_t* planar);

    bool hasAudio() const { return _sourceRate != 0; }
    int sourceChannels() const { return _fifo.channels(); }
    int sourceRate() const { return _sourceRate; }
    int64_t timecode() const { return _timecode; }
    int64_t timestamp() const { return _timestamp; }

    // Writes exactly `samples` samples of `channels` channels at sampleRate
    // (planar, channel k at out + k * samples): channels past the source's are
    // silent, and so is whatever the source has not delivered. Allocates
    // nothing unless the block size or rate changed.
    void pull(float* out, int channels, int samples, int sampleRate);

    // What the ring holds now, in source samples.
    size_t fill() const { return _fifo.size(); }
    bool resampling() const { return _mode == Mode::resampling; }
    uint64_t underruns() const { return _underruns; }
    uint64_t overruns() const { return _overruns; }

private:
    enum class Mode { priming, passThrough, resampling };

    double blockInSource() const;
    size_t primeLevel() const;
    size_t highWater() const;
    void ensureCapacity();
    void start();
    void engage();
    void disengage();
    size_t passThrough(float* out, int channels, size_t samples);
    size_t resample(float* out, int channels, size_t samples);
    void regulate();

    AudioFifo _fifo;
    SampleRateConverter _converter;
    int _sourceRate = 0;
    int _outputRate = 0;
    size_t _frameSize = 0; // samples of the latest source frame
    size_t _blockSize = 0; // samples of the latest capture
    int64_t _timecode = 0;
    int64_t _timestamp = 0;

    Mode _mode = Mode::priming;
    double _baseRatio = 1.0; // output rate / source rate
    double _ratio = 1.0;     // the converter's current ratio

    // Fill regulation, in source samples.
    std::array<double, 16> _window{};
    size_t _windowCount = 0;
    size_t _windowsOutside = 0; // consecutive windows whose median left the band around the reference
    double _reference = -1.0;   // the level playback settled at; negative until measured
    double _error = 0.0;
    double _integral = 0.0;
    size_t _calmCaptures = 0;

    // What the converter has taken but not yet turned into output.
    double _converterConsumed = 0.0;
    double _converterPosition = 0.0;

    std::vector<float> _interleavedIn;
    std::vector<float> _interleavedOut;

    uint64_t _underruns = 0;
    uint64_t _overruns = 0;
};

} // namespace ndiruntime
