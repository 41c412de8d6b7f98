// Test pictures: bytes that say which picture they are and prove that they
// arrived whole. Picture p of a stream at N/D pictures per second is due at
// p * D / N seconds of the steady clock (the clock of the counter test signal,
// TestSignal.h), so that a receiver can tell how late pictures are and compare
// that with the audio.
//
// Bytes, integers little-endian:
//   0..7    "QVTSTPIC"
//   8..15   picture index p (signed 64-bit)
//   16..19  rate numerator N, 20..23 rate denominator D
//   24..27  source id
//   28..31  the picture's size in bytes
//   32..    byte k is byte (k mod 8) of splitmix64(seed + floor(k / 8)), where
//           seed mixes bytes 8..31, so any changed byte, header included,
//           shows.
// The same bytes serve as an uncompressed picture (UYVY: a noisy image) and as
// the payload of a compressed one.
#pragma once

#include <cstddef>
#include <cstdint>

class TestPicture {
public:
    static constexpr size_t kHeaderBytes = 32;
    // The header and one word of pattern, which the header's check needs.
    static constexpr size_t kMinBytes = kHeaderBytes + 8;

    struct Info {
        int64_t index = 0;
        int rateN = 30000;
        int rateD = 1001;
        uint32_t sourceId = 0;
    };
    enum class State {
        Intact,  // a test picture, every byte as written
        Damaged, // a test picture with changed bytes or a changed size
        Foreign  // not a test picture
    };
    struct Check {
        State state = State::Foreign;
        Info info;
    };

    // Writes a picture of size bytes; false (nothing written) when size is
    // below kMinBytes or above 4 GiB. Real-time safe.
    static bool fill(uint8_t* data, size_t size, const Info& info);
    static Check check(const uint8_t* data, size_t size);

    // The index of the picture due at a clock time, and the time a picture is due.
    static int64_t indexAt(int64_t clockNs, int rateN, int rateD);
    static int64_t timeNs(int64_t index, int rateN, int rateD);
};
