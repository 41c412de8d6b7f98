#include "ndi/AVFramesContainer.h"

#include "ndi/NDIRuntime.h"

AVFramesContainer::AVFramesContainer() : videoFrame(emptyVideoFrame()) {}

AVFramesContainer::~AVFramesContainer() {
    std::lock_guard lock(videoMutex);
    releaseVideoLocked();
}

void AVFramesContainer::release() {
    {
        std::lock_guard lock(videoMutex);
        releaseVideoLocked();
    }
    releaseAudio();
}

void AVFramesContainer::attachFrameSync(NDIlib_framesync_instance_t newFrameSync) {
    std::lock_guard lock(videoMutex);
    frameSync = newFrameSync;
}

bool AVFramesContainer::detach() {
    // The audio thread never waits for the video task here: a busy container is
    // detached at a later block.
    std::unique_lock lock(videoMutex, std::try_to_lock);
    if (!lock.owns_lock() || heldPictures.load(std::memory_order_acquire) > 0) {
        return false;
    }
    releaseVideoLocked();
    releaseAudio();
    frameSync = nullptr;
    return true;
}

void AVFramesContainer::releaseVideoLocked() {
    if (frameSync == nullptr) {
        return;
    }
    if (videoFrame.p_data != nullptr) {
        NDIRuntime::active().calls().framesync_free_video(frameSync, &videoFrame);
    }
    videoFrame = emptyVideoFrame();
}

NDIlib_video_frame_v2_t AVFramesContainer::emptyVideoFrame() {
    NDIlib_video_frame_v2_t frame{};
    frame.xres = 0;
    frame.yres = 0;
    frame.FourCC = NDIlib_FourCC_video_type_UYVY;
    frame.frame_rate_N = 30000;
    frame.frame_rate_D = 1001;
    frame.picture_aspect_ratio = 0.0f;
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.timecode = NDIlib_send_timecode_synthesize;
    frame.p_data = nullptr;
    frame.line_stride_in_bytes = 0;
    frame.p_metadata = nullptr;
    frame.timestamp = 0;
    return frame;
}
