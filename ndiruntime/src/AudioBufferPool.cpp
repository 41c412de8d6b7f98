#include "AudioBufferPool.h"

namespace ndiruntime {

float* AudioBufferPool::acquire(size_t floats) {
    Buffer* spare = nullptr;
    for (Buffer& buffer : _buffers) {
        if (buffer.inUse)
            continue;
        if (buffer.floats >= floats) {
            buffer.inUse = true;
            return buffer.data.get();
        }
        spare = &buffer;
    }
    if (!spare) {
        if (_buffers.size() >= maxBuffers)
            return nullptr;
        spare = &_buffers.emplace_back();
    }
    spare->data = std::make_unique<float[]>(floats);
    spare->floats = floats;
    spare->inUse = true;
    return spare->data.get();
}

bool AudioBufferPool::release(const float* data) {
    for (Buffer& buffer : _buffers)
        if (buffer.inUse && buffer.data.get() == data) {
            buffer.inUse = false;
            return true;
        }
    return false;
}

} // namespace ndiruntime
