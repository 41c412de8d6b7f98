// A frame-sync on top of a receiver: it takes every frame the receiver gets
// and serves audio in blocks of the caller's size and rate (see AudioSync)
// and the newest picture whenever asked.
#pragma once

#include "AudioBufferPool.h"
#include "AudioSync.h"
#include "NDIlib.h"
#include "VideoPicture.h"

#include <memory>
#include <mutex>

namespace ndiruntime {

class Receiver;

class FrameSync {
public:
    // Attaches to the receiver, which must outlive the frame-sync.
    explicit FrameSync(Receiver& receiver);
    ~FrameSync();
    FrameSync(const FrameSync&) = delete;
    FrameSync& operator=(const FrameSync&) = delete;

    // The receiver thread.
    void pushAudio(const AudioDescriptor& audio, const uint8_t* planar);
    void pushVideo(std::shared_ptr<const VideoPicture> picture);

    // The capturing thread: exactly `samples` samples per channel at
    // sampleRate, in the source's channel count when channels is 0; an empty
    // frame before any audio arrived. No allocation once the block size, rate
    // and channel count are steady.
    void captureAudio(NDIlib_audio_frame_v2_t& frame, int sampleRate, int channels, int samples);
    void freeAudio(const NDIlib_audio_frame_v2_t& frame);
    // The newest picture, lent until it is freed; timecode 0 and no data before the first.
    void captureVideo(NDIlib_video_frame_v2_t& frame);

private:
    Receiver& _receiver;
    // Held for one push or one capture: the receiver thread and the capturing
    // thread share the ring, the capturing thread alone uses the pool.
    std::mutex _audioMutex;
    AudioSync _sync;
    AudioBufferPool _pool;
    bool _poolFullLogged = false;

    std::mutex _videoMutex; // guards _newest
    std::shared_ptr<const VideoPicture> _newest;
};

} // namespace ndiruntime
