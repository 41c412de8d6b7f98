// Encoded audio messages on their way from the thread that sends audio to the
// sender's network thread: a single-producer, single-consumer ring of slots
// whose buffers are reused, so that a steady stream allocates nothing.
#pragma once

#include "WireFormat.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ndiruntime {

class AudioQueue {
public:
    // The slots' buffers together never exceed this.
    static constexpr size_t maxBytes = 64u << 20;

    explicit AudioQueue(size_t slots);

    // The thread that sends audio: copies the frame into the next free slot.
    // False when the ring is full or the frame finds no room within maxBytes
    // (the frame is dropped). Allocates only for a frame larger than any before.
    bool push(const AudioDescriptor& audio, const float* planar, size_t channelStrideFloats);

    // The network thread: the oldest message, or null when there is none.
    // It stays valid until pop().
    const uint8_t* front(size_t& bytes) const;
    void pop();

private:
    struct Slot {
        std::vector<uint8_t> bytes;
        size_t size = 0;
    };
    std::vector<Slot> _slots;
    size_t _bytes = 0;               // the slots' buffer sizes added up; the producer's alone
    std::atomic<size_t> _written{0}; // slots produced, ever
    std::atomic<size_t> _read{0};    // slots consumed, ever
};

} // namespace ndiruntime
