// The counter test signal: every sample of it tells which source and channel it
// belongs to and when it was due on this host's clock, so that a receiver can
// check a stream sample by sample, also after it went through a resampler.
//
// Clock. Sample n of a stream at rate R is due at n / R seconds of the steady
// clock (CLOCK_MONOTONIC), which every process of the host shares. A sender
// starts at n = floor(now * R) and counts on, one per sample; it sends the
// block of samples [n, n + B) when the clock reaches (n + B) / R.
//
// Cells. The samples are cut into cells of 1024 (cell c holds the samples n
// with floor(n / 1024) = c). By position k = n mod 1024 in its cell, sample n is:
//   k in [256, 1024)  ramp r(n) = ((n mod 196608) - 98304) / 196608: a slow saw
//                     from -0.5 up to 0.5 that wraps every 196608 samples
//                     (4.096 s at 48 kHz); one exact ramp sample gives n mod
//                     196608, and a few resampled ones still give it closely.
//   k in [64, 192)    hold: the level (2 v - 15) / 32 of the cell's 4-bit value v.
//   k in [0, 64)      fade in: r(c * 1024 - 1) + (level - r(c * 1024 - 1)) * w(k)
//   k in [192, 256)   fade out: level + (r(c * 1024 + 256) - level) * w(k - 192)
//   with the raised-cosine weight w(j) = (1 - cos(pi (j + 1) / 65)) / 2.
// The fades keep the signal smooth, so that resamplers reproduce ramp and
// levels closely instead of ringing after steps. The ramp's wrap always falls
// into a header (196608 is a multiple of 1024). Levels are never 0 and the
// ramp passes 0 inside a header, so at most a lone fade sample can be 0: two
// zero samples in a row never belong to the signal.
//
// Tag. The cells c with c mod 8 = 0, 1, ..., 7 carry the 4-bit values of a
// 32-bit tag word, most significant first: source id (12 bits), channel counted
// from 0 (8 bits), index of the sender's sample rate in kRates (4 bits), and the
// CRC-8 (polynomial 0x07, initial value 0) of those 24 bits, big-endian.
//
// Sender and receiver compute every value the same way (the ramp and the levels
// are exact binary fractions, the fades use one fixed table), so a stream that
// arrived untouched matches the expected samples bit for bit, and any dropped,
// repeated or zeroed sample shows as a mismatch at the place where it happened.
// Latency: a block whose last sample is n and which arrives at clock time T is
// T - (n + 1) / R late; the receiver knows n modulo 196608 and picks the
// latency in [-1/4, 3/4) of the wrap period (at 48 kHz from -1.02 s to 3.07 s).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

class TestSignal {
public:
    static constexpr int kCellSamples = 1024;
    static constexpr int kHeaderSamples = 256;
    static constexpr int kFadeSamples = 64;
    static constexpr int kHoldBegin = kFadeSamples;
    static constexpr int kHoldEnd = kHeaderSamples - kFadeSamples;
    static constexpr int kWordCells = 8;
    static constexpr int64_t kRampPeriod = 196608;
    static constexpr int kMaxSourceId = 4095;
    static constexpr int kMaxChannels = 256;
    // The sample rates a tag can name, by their 4-bit index.
    static constexpr std::array<int, 13> kRates{8000,  11025, 12000, 16000, 22050,  24000, 32000,
                                                44100, 48000, 88200, 96000, 176400, 192000};

    struct Tag {
        int sourceId = 0;
        int channel = 0;
        int sampleRate = 48000;
        bool operator==(const Tag&) const = default;
    };

    // The tag word, or nothing when a field is out of range or the rate is not in kRates.
    static std::optional<uint32_t> tagWord(const Tag& tag);
    // The tag of a word whose CRC and rate index are valid.
    static std::optional<Tag> parseTagWord(uint32_t word);

    // The 4-bit value that the cell of sample n carries out of a tag word.
    static int nibble(uint32_t word, int64_t n);
    static float level(int nibble);
    // The 4-bit value of an exact hold level.
    static std::optional<int> nibbleOfLevel(float value);
    static float ramp(int64_t n);
    // n mod kRampPeriod of an exact ramp value.
    static std::optional<int64_t> rampPosition(float value);
    // Sample n when its cell carries the given 4-bit value.
    static float sample(int64_t n, int nibble);
    // Writes the samples [firstSample, firstSample + count) of a tag word's
    // channel. Real-time safe: no allocation, no locks.
    static void fill(float* out, int count, uint32_t word, int64_t firstSample);

    // Now on the steady clock, in nanoseconds.
    static int64_t clockNs();
    // The index of the sample due at a clock time, and the first nanosecond at
    // which a sample is due.
    static int64_t sampleIndexAt(int64_t clockNs, int sampleRate);
    static int64_t sampleTimeNs(int64_t sample, int sampleRate);

    // Integer division and remainder rounding towards minus infinity.
    static int64_t floorDiv(int64_t a, int64_t b);
    static int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }
};
