#include "tools/TestPicture.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr char kMagic[8] = {'Q', 'V', 'T', 'S', 'T', 'P', 'I', 'C'};
constexpr __int128 kNanosPerSecond = 1000000000;

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void putLittle(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t getLittle(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

uint64_t patternSeed(const uint8_t* header) {
    uint64_t seed = 0;
    for (size_t offset = 8; offset < TestPicture::kHeaderBytes; offset += 8)
        seed = splitmix64(seed ^ getLittle(header + offset, 8));
    return seed;
}

// Compares (or writes, when write is set) the pattern bytes after the header.
bool pattern(uint8_t* data, const uint8_t* read, size_t size, uint64_t seed, bool write) {
    for (size_t offset = TestPicture::kHeaderBytes; offset < size; offset += 8) {
        uint8_t bytes[8];
        putLittle(bytes, splitmix64(seed + offset / 8), 8);
        const size_t count = std::min<size_t>(8, size - offset);
        if (write)
            std::memcpy(data + offset, bytes, count);
        else if (std::memcmp(read + offset, bytes, count) != 0)
            return false;
    }
    return true;
}

} // namespace

bool TestPicture::fill(uint8_t* data, size_t size, const Info& info) {
    if (data == nullptr || size < kMinBytes || size > std::numeric_limits<uint32_t>::max())
        return false;
    std::memcpy(data, kMagic, sizeof kMagic);
    putLittle(data + 8, static_cast<uint64_t>(info.index), 8);
    putLittle(data + 16, static_cast<uint32_t>(info.rateN), 4);
    putLittle(data + 20, static_cast<uint32_t>(info.rateD), 4);
    putLittle(data + 24, info.sourceId, 4);
    putLittle(data + 28, size, 4);
    pattern(data, nullptr, size, patternSeed(data), true);
    return true;
}

TestPicture::Check TestPicture::check(const uint8_t* data, size_t size) {
    Check result;
    if (data == nullptr || size < kMinBytes || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return result;
    result.info.index = static_cast<int64_t>(getLittle(data + 8, 8));
    result.info.rateN = static_cast<int>(static_cast<uint32_t>(getLittle(data + 16, 4)));
    result.info.rateD = static_cast<int>(static_cast<uint32_t>(getLittle(data + 20, 4)));
    result.info.sourceId = static_cast<uint32_t>(getLittle(data + 24, 4));
    const bool intact = getLittle(data + 28, 4) == size && pattern(nullptr, data, size, patternSeed(data), false);
    result.state = intact ? State::Intact : State::Damaged;
    return result;
}

int64_t TestPicture::indexAt(int64_t clockNs, int rateN, int rateD) {
    if (rateN <= 0 || rateD <= 0)
        return 0;
    const __int128 scaled = static_cast<__int128>(clockNs) * rateN;
    const __int128 unit = kNanosPerSecond * rateD;
    __int128 index = scaled / unit;
    if (scaled % unit < 0)
        --index;
    return static_cast<int64_t>(index);
}

int64_t TestPicture::timeNs(int64_t index, int rateN, int rateD) {
    if (rateN <= 0 || rateD <= 0)
        return 0;
    // Rounded up, so that the picture due at that time is this one.
    const __int128 scaled = static_cast<__int128>(index) * rateD * kNanosPerSecond;
    __int128 time = scaled / rateN;
    if (scaled % rateN > 0)
        ++time;
    return static_cast<int64_t>(time);
}
