// A ring of planar 32-bit float audio with a fixed channel count. Not
// thread-safe: its owner serialises every call. No call allocates except
// configure() and grow().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ndiruntime {

class AudioFifo {
public:
    // Empties the ring and sizes it for channels x capacity samples.
    void configure(int channels, size_t capacity);
    // Enlarges the ring, keeping its content.
    void grow(size_t capacity);

    int channels() const { return _channels; }
    size_t capacity() const { return _capacity; }
    size_t size() const { return _size; }
    size_t space() const { return _capacity - _size; }

    // Appends frames from planar bytes (channel after channel, channelStrideBytes
    // apart); at most space() frames.
    void write(const uint8_t* planar, size_t channelStrideBytes, size_t frames);
    // Takes frames into out, channel k at out + k * outStride, for the first
    // `channels` channels (at most channels()); at most size() frames.
    void readPlanar(float* out, size_t outStride, int channels, size_t frames);
    // Copies the oldest frames, interleaved, without taking them.
    void peekInterleaved(float* out, size_t frames) const;
    void discard(size_t frames);
    // Puts back the most recently taken frames; false, and nothing changes,
    // when they have already been overwritten.
    bool unread(size_t frames);

private:
    std::vector<float> _samples; // channel k occupies [k * _capacity, (k + 1) * _capacity)
    int _channels = 0;
    size_t _capacity = 0;
    size_t _read = 0; // index of the oldest frame
    size_t _size = 0;
    size_t _history = 0; // frames behind _read that still hold what was taken
};

} // namespace ndiruntime
