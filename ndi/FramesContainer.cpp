#include "ndi/FramesContainer.h"

#include "ndi/NDIRuntime.h"

FramesContainer::FramesContainer() : audioFrame(emptyAudioFrame()) {
    audioFrame.no_channels = 0;
}

FramesContainer::~FramesContainer() {
    releaseAudio();
}

void FramesContainer::release() {
    releaseAudio();
}

bool FramesContainer::detach() {
    releaseAudio();
    frameSync = nullptr;
    return true;
}

void FramesContainer::attachFrameSync(NDIlib_framesync_instance_t newFrameSync) {
    frameSync = newFrameSync;
}

void FramesContainer::releaseAudio() {
    if (frameSync == nullptr) {
        return;
    }
    if (audioFrame.p_data != nullptr) {
        NDIRuntime::active().calls().framesync_free_audio(frameSync, &audioFrame);
    }
    audioFrame = emptyAudioFrame();
}

NDIlib_audio_frame_v2_t FramesContainer::emptyAudioFrame() {
    NDIlib_audio_frame_v2_t frame{};
    frame.sample_rate = 48000;
    frame.no_channels = 2;
    frame.no_samples = 0;
    frame.timecode = NDIlib_send_timecode_synthesize;
    frame.p_data = nullptr;
    frame.channel_stride_in_bytes = 0;
    frame.p_metadata = nullptr;
    frame.timestamp = 0;
    return frame;
}
