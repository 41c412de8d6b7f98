#include "tools/TestSignal.h"

#include <chrono>
#include <cmath>
#include <numbers>

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

// Raised-cosine weights of the fades, computed once so that every process
// that uses this code gets the same values.
const std::array<double, TestSignal::kFadeSamples>& fadeWeights() {
    static const std::array<double, TestSignal::kFadeSamples> weights = [] {
        std::array<double, TestSignal::kFadeSamples> w{};
        for (int j = 0; j < TestSignal::kFadeSamples; ++j)
            w[j] = (1.0 - std::cos(std::numbers::pi * (j + 1) / (TestSignal::kFadeSamples + 1))) / 2.0;
        return w;
    }();
    return weights;
}

uint8_t crc8(uint32_t bits24) {
    uint8_t crc = 0;
    for (int shift = 16; shift >= 0; shift -= 8) {
        crc ^= static_cast<uint8_t>(bits24 >> shift);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

int rateIndex(int sampleRate) {
    for (size_t i = 0; i < TestSignal::kRates.size(); ++i)
        if (TestSignal::kRates[i] == sampleRate)
            return static_cast<int>(i);
    return -1;
}

} // namespace

std::optional<uint32_t> TestSignal::tagWord(const Tag& tag) {
    const int rate = rateIndex(tag.sampleRate);
    if (tag.sourceId < 0 || tag.sourceId > kMaxSourceId || tag.channel < 0 || tag.channel >= kMaxChannels || rate < 0)
        return std::nullopt;
    const uint32_t bits24 = (static_cast<uint32_t>(tag.sourceId) << 12) | (static_cast<uint32_t>(tag.channel) << 4) |
                            static_cast<uint32_t>(rate);
    return (bits24 << 8) | crc8(bits24);
}

std::optional<TestSignal::Tag> TestSignal::parseTagWord(uint32_t word) {
    const uint32_t bits24 = word >> 8;
    const uint32_t rate = bits24 & 0xF;
    if (crc8(bits24) != (word & 0xFF) || rate >= kRates.size())
        return std::nullopt;
    return Tag{static_cast<int>(bits24 >> 12), static_cast<int>((bits24 >> 4) & 0xFF), kRates[rate]};
}

int TestSignal::nibble(uint32_t word, int64_t n) {
    const int64_t slot = floorMod(floorDiv(n, kCellSamples), kWordCells);
    return static_cast<int>((word >> (28 - 4 * slot)) & 0xF);
}

float TestSignal::level(int nibble) {
    return static_cast<float>(2 * nibble - 15) / 32.0f;
}

std::optional<int> TestSignal::nibbleOfLevel(float value) {
    if (!std::isfinite(value) || std::fabs(value) > 0.5f)
        return std::nullopt;
    const int nib = static_cast<int>(std::lround((value * 32.0f + 15.0f) / 2.0f));
    if (nib < 0 || nib > 15 || level(nib) != value)
        return std::nullopt;
    return nib;
}

float TestSignal::ramp(int64_t n) {
    const int64_t m = floorMod(n, kRampPeriod);
    return static_cast<float>(static_cast<double>(m - kRampPeriod / 2) / static_cast<double>(kRampPeriod));
}

std::optional<int64_t> TestSignal::rampPosition(float value) {
    if (!std::isfinite(value) || std::fabs(value) > 0.5f)
        return std::nullopt;
    const int64_t m = floorMod(std::llround(static_cast<double>(value) * kRampPeriod + kRampPeriod / 2), kRampPeriod);
    if (ramp(m) != value)
        return std::nullopt;
    return m;
}

float TestSignal::sample(int64_t n, int nibble) {
    const int64_t k = floorMod(n, kCellSamples);
    if (k >= kHeaderSamples)
        return ramp(n);
    const double hold = level(nibble);
    if (k >= kHoldBegin && k < kHoldEnd)
        return static_cast<float>(hold);
    const int64_t cellStart = n - k;
    if (k < kHoldBegin) {
        const double from = ramp(cellStart - 1);
        return static_cast<float>(from + (hold - from) * fadeWeights()[k]);
    }
    const double to = ramp(cellStart + kHeaderSamples);
    return static_cast<float>(hold + (to - hold) * fadeWeights()[k - kHoldEnd]);
}

void TestSignal::fill(float* out, int count, uint32_t word, int64_t firstSample) {
    for (int i = 0; i < count; ++i)
        out[i] = sample(firstSample + i, nibble(word, firstSample + i));
}

int64_t TestSignal::clockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t TestSignal::sampleIndexAt(int64_t clockNs, int sampleRate) {
    const __int128 scaled = static_cast<__int128>(clockNs) * sampleRate;
    __int128 index = scaled / kNanosPerSecond;
    if (scaled % kNanosPerSecond < 0)
        --index;
    return static_cast<int64_t>(index);
}

int64_t TestSignal::sampleTimeNs(int64_t sample, int sampleRate) {
    // Rounded up, so that the sample due at that time is this one.
    const __int128 scaled = static_cast<__int128>(sample) * kNanosPerSecond;
    __int128 time = scaled / sampleRate;
    if (scaled % sampleRate > 0)
        ++time;
    return static_cast<int64_t>(time);
}

int64_t TestSignal::floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
