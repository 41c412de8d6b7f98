// Buffers for captured audio, handed out and given back by pointer and kept
// for reuse, so that capturing block after block allocates nothing. Not
// thread-safe: its owner serialises every call.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace ndiruntime {

class AudioBufferPool {
public:
    // At most this many buffers are out at once: a caller that never gives
    // buffers back cannot make the pool grow without end.
    static constexpr size_t maxBuffers = 32;

    // A buffer of at least `floats` floats, null when maxBuffers are out.
    // Allocates only when no free buffer is large enough.
    float* acquire(size_t floats);
    // False when the pointer is not one of this pool's buffers in use.
    bool release(const float* data);

private:
    struct Buffer {
        std::unique_ptr<float[]> data;
        size_t floats = 0;
        bool inUse = false;
    };
    std::vector<Buffer> _buffers;
};

} // namespace ndiruntime
