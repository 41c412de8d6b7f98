#include "FrameSync.h"

#include "Log.h"
#include "PictureLedger.h"
#include "Receiver.h"

#include <algorithm>
#include <utility>

namespace ndiruntime {

FrameSync::FrameSync(Receiver& receiver) : _receiver(receiver) {
    _receiver.attach(this);
}

FrameSync::~FrameSync() {
    _receiver.detach(this);
}

void FrameSync::pushAudio(const AudioDescriptor& audio, const uint8_t* planar) {
    std::lock_guard lock(_audioMutex);
    _sync.push(audio, planar);
}

void FrameSync::pushVideo(std::shared_ptr<const VideoPicture> picture) {
    std::shared_ptr<const VideoPicture> previous; // released outside the lock
    std::lock_guard lock(_videoMutex);
    previous = std::exchange(_newest, std::move(picture));
}

void FrameSync::captureAudio(NDIlib_audio_frame_v2_t& frame, int sampleRate, int channels, int samples) {
    frame = NDIlib_audio_frame_v2_t{};
    frame.sample_rate = sampleRate;
    std::lock_guard lock(_audioMutex);
    if (!_sync.hasAudio() || samples <= 0 || samples > WireFormat::maxSamples)
        return;
    if (sampleRate <= 0 || sampleRate > WireFormat::maxSampleRate)
        sampleRate = frame.sample_rate = _sync.sourceRate();
    channels = channels > 0 ? std::min(channels, WireFormat::maxChannels) : _sync.sourceChannels();
    float* data = _pool.acquire(static_cast<size_t>(channels) * static_cast<size_t>(samples));
    if (!data) {
        if (!_poolFullLogged)
            logLine("frame-sync for %s: captured audio is never freed; returning none", _receiver.sourceName().c_str());
        _poolFullLogged = true;
        return;
    }
    _sync.pull(data, channels, samples, sampleRate);
    frame.no_channels = channels;
    frame.no_samples = samples;
    frame.timecode = _sync.timecode();
    frame.p_data = data;
    frame.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
    frame.timestamp = _sync.timestamp();
}

void FrameSync::freeAudio(const NDIlib_audio_frame_v2_t& frame) {
    if (!frame.p_data)
        return;
    std::lock_guard lock(_audioMutex);
    _pool.release(frame.p_data);
}

void FrameSync::captureVideo(NDIlib_video_frame_v2_t& frame) {
    std::shared_ptr<const VideoPicture> newest;
    {
        std::lock_guard lock(_videoMutex);
        newest = _newest;
    }
    if (!newest) {
        frame = NDIlib_video_frame_v2_t{};
        return;
    }
    PictureLedger::instance().lend(std::move(newest), frame);
}

} // namespace ndiruntime
