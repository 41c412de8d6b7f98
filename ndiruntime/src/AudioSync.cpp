#include "AudioSync.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ndiruntime {

namespace {

// Samples of already played audio run through the converter when it takes
// over, so that it starts with a history instead of a click.
constexpr size_t historyFrames = 64;
// Extra source samples the converter needs beyond a block (its look-ahead).
constexpr size_t converterMargin = 64;
constexpr double loopRate = 1.0 / 150.0; // per capture: the loop settles in about 150 captures
constexpr double errorSmoothing = 1.0 / 16.0;
constexpr double maxCorrection = 0.01;
constexpr double calmCorrection = 5e-5;
constexpr size_t calmCapturesBeforePassThrough = 400;
// A scheduling hiccup moves the level for a moment; drift moves it for good.
constexpr size_t windowsOutsideBeforeResampling = 3;

} // namespace

double AudioSync::blockInSource() const {
    size_t block = _blockSize ? _blockSize : _frameSize;
    return static_cast<double>(block) / _baseRatio;
}

// One block and one source frame, so that a late frame is survived, plus the
// converter's look-ahead, so that it can take over after the level slipped by
// a frame.
size_t AudioSync::primeLevel() const {
    return static_cast<size_t>(std::ceil(blockInSource())) + _frameSize + converterMargin;
}

size_t AudioSync::highWater() const {
    return primeLevel() + 4 * std::max(static_cast<size_t>(std::ceil(blockInSource())), _frameSize);
}

void AudioSync::ensureCapacity() {
    size_t needed = highWater() + _frameSize + 2 * historyFrames + converterMargin;
    if (_fifo.capacity() < needed)
        _fifo.grow(needed + needed / 2);
    size_t channels = static_cast<size_t>(_fifo.channels());
    size_t inFrames =
        static_cast<size_t>(std::ceil(blockInSource() * (1.0 + maxCorrection))) + converterMargin + historyFrames;
    if (_interleavedIn.size() < inFrames * channels)
        _interleavedIn.resize(inFrames * channels);
    size_t outFrames = std::max(_blockSize, historyFrames);
    if (_interleavedOut.size() < outFrames * channels)
        _interleavedOut.resize(outFrames * channels);
}

void AudioSync::push(const AudioDescriptor& audio, const uint8_t* planar) {
    if (audio.channels != _fifo.channels() || audio.sampleRate != _sourceRate) {
        _sourceRate = audio.sampleRate;
        _fifo.configure(audio.channels, 0);
        _converter.configure(audio.channels);
        _baseRatio = _outputRate ? static_cast<double>(_outputRate) / _sourceRate : 1.0;
        _mode = Mode::priming;
    }
    _frameSize = static_cast<size_t>(audio.samples);
    _timecode = audio.timecode;
    _timestamp = audio.timestamp;
    ensureCapacity();
    _fifo.write(planar, _frameSize * sizeof(float), _frameSize);
    if (_fifo.size() > highWater()) {
        _fifo.discard(_fifo.size() - primeLevel());
        ++_overruns;
        _mode = Mode::priming;
    }
}

void AudioSync::pull(float* out, int channels, int samples, int sampleRate) {
    const size_t count = static_cast<size_t>(samples);
    std::fill(out, out + static_cast<size_t>(channels) * count, 0.0f);
    if (_sourceRate == 0 || samples <= 0)
        return;
    if (sampleRate <= 0)
        sampleRate = _sourceRate;
    if (count != _blockSize || sampleRate != _outputRate) {
        _blockSize = count;
        _outputRate = sampleRate;
        _baseRatio = static_cast<double>(_outputRate) / _sourceRate;
        _mode = Mode::priming;
        ensureCapacity();
    }
    if (_mode == Mode::priming) {
        if (_fifo.size() < primeLevel())
            return;
        start();
    }
    size_t produced = _mode == Mode::passThrough ? passThrough(out, channels, count) : resample(out, channels, count);
    if (produced < count) {
        for (int channel = 0; channel < channels; ++channel)
            std::fill(out + static_cast<size_t>(channel) * count + produced,
                      out + static_cast<size_t>(channel + 1) * count, 0.0f);
        ++_underruns;
        _mode = Mode::priming;
        return;
    }
    regulate();
}

void AudioSync::start() {
    _windowCount = 0;
    _windowsOutside = 0;
    _reference = -1.0;
    if (_baseRatio == 1.0) {
        _mode = Mode::passThrough;
        return;
    }
    engage();
}

void AudioSync::engage() {
    _mode = Mode::resampling;
    _error = 0.0;
    _integral = 0.0;
    _calmCaptures = 0;
    _ratio = _baseRatio;
    _converter.reset(_ratio);
    _converterConsumed = 0.0;
    _converterPosition = 0.0;
    // At an unchanged rate the converter first replays recent output, which is
    // thrown away, so that its filter is full of real history.
    if (_baseRatio != 1.0 || !_fifo.unread(historyFrames))
        return;
    size_t channels = static_cast<size_t>(_fifo.channels());
    size_t done = 0;
    while (done < historyFrames) {
        size_t in = std::min(_fifo.size(), historyFrames - done + converterMargin);
        _fifo.peekInterleaved(_interleavedIn.data(), in);
        long used = 0;
        long generated = 0;
        _converter.process(_interleavedIn.data(), static_cast<long>(in), _interleavedOut.data() + done * channels,
                           static_cast<long>(historyFrames - done), 1.0, used, generated);
        _fifo.discard(static_cast<size_t>(used));
        _converterConsumed += static_cast<double>(used);
        _converterPosition += static_cast<double>(generated);
        done += static_cast<size_t>(generated);
        if (used == 0 && generated == 0)
            break;
    }
}

void AudioSync::disengage() {
    double held = _converterConsumed - _converterPosition;
    _fifo.unread(static_cast<size_t>(std::max(0.0, std::round(held))));
    _mode = Mode::passThrough;
    _ratio = 1.0;
    _windowCount = 0;
    _windowsOutside = 0;
}

size_t AudioSync::passThrough(float* out, int channels, size_t samples) {
    size_t available = std::min(samples, _fifo.size());
    _fifo.readPlanar(out, samples, channels, available);
    return available;
}

size_t AudioSync::resample(float* out, int channels, size_t samples) {
    const size_t sourceChannels = static_cast<size_t>(_fifo.channels());
    const size_t inCapacity = _interleavedIn.size() / sourceChannels;
    size_t produced = 0;
    while (produced < samples) {
        size_t want = samples - produced;
        size_t in = std::min(
            {_fifo.size(), static_cast<size_t>(std::ceil(static_cast<double>(want) / _ratio)) + 2, inCapacity});
        _fifo.peekInterleaved(_interleavedIn.data(), in);
        long used = 0;
        long generated = 0;
        _converter.process(_interleavedIn.data(), static_cast<long>(in),
                           _interleavedOut.data() + produced * sourceChannels, static_cast<long>(want), _ratio, used,
                           generated);
        _fifo.discard(static_cast<size_t>(used));
        _converterConsumed += static_cast<double>(used);
        _converterPosition += static_cast<double>(generated) / _ratio;
        produced += static_cast<size_t>(generated);
        if (used == 0 && generated == 0)
            break;
    }
    for (size_t channel = 0; channel < std::min(sourceChannels, static_cast<size_t>(channels)); ++channel) {
        float* to = out + channel * samples;
        for (size_t index = 0; index < produced; ++index)
            to[index] = _interleavedOut[index * sourceChannels + channel];
    }
    return produced;
}

void AudioSync::regulate() {
    double held = _mode == Mode::resampling ? _converterConsumed - _converterPosition : 0.0;
    double level = static_cast<double>(_fifo.size()) + held;
    double calmBand = std::max(blockInSource(), static_cast<double>(_frameSize)) / 8.0;

    _window[_windowCount++ % _window.size()] = level;
    if (_windowCount % _window.size() == 0) {
        std::array<double, 16> sorted = _window;
        std::sort(sorted.begin(), sorted.end());
        double median = sorted[sorted.size() / 2];
        // When frames arrive just around capture time, the level flips between
        // two values a frame apart; the reference is the lower one, and only a
        // level below it, or beyond the upper one, means drift.
        double frame = std::max(blockInSource(), static_cast<double>(_frameSize));
        bool outside = _reference >= 0.0 && (median < _reference - frame / 2.0 || median > _reference + 1.5 * frame);
        _windowsOutside = outside ? _windowsOutside + 1 : 0;
        if (_reference < 0.0)
            _reference = sorted[sorted.size() / 4];
        else if (_mode == Mode::passThrough && _windowsOutside >= windowsOutsideBeforeResampling) {
            engage();
            _error = median - _reference;
        }
    }
    if (_mode != Mode::resampling || _reference < 0.0)
        return;

    // A proportional-integral loop on the fill level, critically damped.
    double perCapture = blockInSource();
    double gainP = 2.0 * loopRate / perCapture;
    double gainI = loopRate * loopRate / perCapture;
    _error += (level - _reference - _error) * errorSmoothing;
    _integral += _error;
    double correction = -(gainP * _error + gainI * _integral);
    if (std::abs(correction) > maxCorrection) {
        _integral -= _error;
        correction = std::clamp(correction, -maxCorrection, maxCorrection);
    }
    _ratio = _baseRatio * (1.0 + correction);

    if (_baseRatio != 1.0)
        return;
    bool calm = std::abs(correction) < calmCorrection && std::abs(_error) < calmBand;
    _calmCaptures = calm ? _calmCaptures + 1 : 0;
    if (_calmCaptures >= calmCapturesBeforePassThrough)
        disengage();
}

} // namespace ndiruntime
