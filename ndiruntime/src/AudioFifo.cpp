#include "AudioFifo.h"

#include <algorithm>
#include <cstring>

namespace ndiruntime {

void AudioFifo::configure(int channels, size_t capacity) {
    _channels = channels;
    _capacity = capacity;
    _samples.assign(static_cast<size_t>(channels) * capacity, 0.0f);
    _read = 0;
    _size = 0;
    _history = 0;
}

void AudioFifo::grow(size_t capacity) {
    if (capacity <= _capacity)
        return;
    std::vector<float> samples(static_cast<size_t>(_channels) * capacity, 0.0f);
    for (int channel = 0; channel < _channels; ++channel) {
        const float* from = _samples.data() + static_cast<size_t>(channel) * _capacity;
        float* to = samples.data() + static_cast<size_t>(channel) * capacity;
        for (size_t index = 0; index < _size; ++index)
            to[index] = from[(_read + index) % _capacity];
    }
    _samples.swap(samples);
    _capacity = capacity;
    _read = 0;
    _history = 0;
}

void AudioFifo::write(const uint8_t* planar, size_t channelStrideBytes, size_t frames) {
    frames = std::min(frames, space());
    size_t start = (_read + _size) % _capacity;
    size_t first = std::min(frames, _capacity - start);
    for (int channel = 0; channel < _channels; ++channel) {
        const uint8_t* from = planar + static_cast<size_t>(channel) * channelStrideBytes;
        float* ring = _samples.data() + static_cast<size_t>(channel) * _capacity;
        std::memcpy(ring + start, from, first * sizeof(float));
        std::memcpy(ring, from + first * sizeof(float), (frames - first) * sizeof(float));
    }
    _size += frames;
    _history = std::min(_history, _capacity - _size);
}

void AudioFifo::readPlanar(float* out, size_t outStride, int channels, size_t frames) {
    frames = std::min(frames, _size);
    size_t first = std::min(frames, _capacity - _read);
    for (int channel = 0; channel < std::min(channels, _channels); ++channel) {
        const float* ring = _samples.data() + static_cast<size_t>(channel) * _capacity;
        float* to = out + static_cast<size_t>(channel) * outStride;
        std::memcpy(to, ring + _read, first * sizeof(float));
        std::memcpy(to + first, ring, (frames - first) * sizeof(float));
    }
    discard(frames);
}

void AudioFifo::peekInterleaved(float* out, size_t frames) const {
    frames = std::min(frames, _size);
    for (int channel = 0; channel < _channels; ++channel) {
        const float* ring = _samples.data() + static_cast<size_t>(channel) * _capacity;
        size_t position = _read;
        for (size_t index = 0; index < frames; ++index) {
            out[index * static_cast<size_t>(_channels) + static_cast<size_t>(channel)] = ring[position];
            if (++position == _capacity)
                position = 0;
        }
    }
}

void AudioFifo::discard(size_t frames) {
    frames = std::min(frames, _size);
    _read = (_read + frames) % _capacity;
    _size -= frames;
    _history = std::min(_history + frames, _capacity - _size);
}

bool AudioFifo::unread(size_t frames) {
    if (frames > _history)
        return false;
    _read = (_read + _capacity - frames) % _capacity;
    _size += frames;
    _history -= frames;
    return true;
}

} // namespace ndiruntime
