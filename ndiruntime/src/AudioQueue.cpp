#include "AudioQueue.h"

namespace ndiruntime {

AudioQueue::AudioQueue(size_t slots) : _slots(slots) {}

bool AudioQueue::push(const AudioDescriptor& audio, const float* planar, size_t channelStrideFloats) {
    size_t written = _written.load(std::memory_order_relaxed);
    size_t read = _read.load(std::memory_order_acquire);
    if (written - read >= _slots.size())
        return false;
    Slot& slot = _slots[written % _slots.size()];
    slot.size = WireFormat::audioMessageBytes(audio.channels, audio.samples);
    // A larger frame than before enlarges the free slots at once, so that the
    // frames after it find room in whichever slot comes next, as long as the
    // ring stays within its memory bound; a frame that finds no room is dropped.
    if (slot.bytes.size() < slot.size) {
        for (size_t index = written; index < read + _slots.size(); ++index) {
            Slot& free = _slots[index % _slots.size()];
            if (free.bytes.size() >= slot.size || _bytes - free.bytes.size() + slot.size > maxBytes)
                continue;
            _bytes = _bytes - free.bytes.size() + slot.size;
            free.bytes.resize(slot.size);
        }
        if (slot.bytes.size() < slot.size)
            return false;
    }
    WireFormat::encodeAudio(slot.bytes.data(), audio, planar, channelStrideFloats);
    _written.store(written + 1, std::memory_order_release);
    return true;
}

const uint8_t* AudioQueue::front(size_t& bytes) const {
    size_t read = _read.load(std::memory_order_relaxed);
    if (read == _written.load(std::memory_order_acquire))
        return nullptr;
    const Slot& slot = _slots[read % _slots.size()];
    bytes = slot.size;
    return slot.bytes.data();
}

void AudioQueue::pop() {
    _read.store(_read.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

} // namespace ndiruntime
