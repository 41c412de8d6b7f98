// The audio that test senders send: every sample names its channel and its
// position in the stream (modulo `cycle`) exactly, so a receiver can check
// that samples arrive bit for bit, complete and in order. No sample is 0.
#pragma once

#include <cstdint>

namespace AudioPattern {

constexpr int64_t scale = int64_t{1} << 24; // floats hold integers below this exactly
constexpr int64_t cycle = scale / 64 - 1;   // positions repeat after this many samples

inline float value(int64_t position, int channel) {
    return static_cast<float>((position % cycle) * 64 + channel + 1) / static_cast<float>(scale);
}

// Planar, channel k at out + k * samples.
inline void fill(float* out, int channels, int samples, int64_t firstPosition) {
    for (int channel = 0; channel < channels; ++channel)
        for (int index = 0; index < samples; ++index)
            out[static_cast<int64_t>(channel) * samples + index] = value(firstPosition + index, channel);
}

// The position modulo cycle that a sample of this channel names, or -1 when
// it is no sample of the pattern for this channel.
inline int64_t positionOf(float sample, int channel) {
    double scaled = static_cast<double>(sample) * static_cast<double>(scale);
    auto code = static_cast<int64_t>(scaled);
    if (code < 1 || static_cast<double>(code) != scaled || (code - 1) % 64 != channel)
        return -1;
    return (code - 1) / 64;
}

} // namespace AudioPattern
