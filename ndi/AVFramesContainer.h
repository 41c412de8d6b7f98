#pragma once

#include "ndi/FramesContainer.h"

#include <atomic>
#include <mutex>

// A source's newest audio block and newest picture.
//
// The video half is shared by the video task and the audio thread: `videoFrame`
// and the video calls on `frameSync` are made only with `videoMutex` held, and
// `heldPictures` counts the pictures of `frameSync` that are outside
// `videoFrame` (in delay rings or being sent), which keeps the frame-sync alive.
struct AVFramesContainer : FramesContainer {
    NDIlib_video_frame_v2_t videoFrame{};
    std::mutex videoMutex;
    std::atomic<int> heldPictures{0};

    AVFramesContainer();
    ~AVFramesContainer() override;

    // Returns the picture, then the audio, to `frameSync`.
    void release() override;
    // Takes `videoMutex`: the video task may be reading `frameSync`.
    void attachFrameSync(NDIlib_framesync_instance_t newFrameSync) override;
    // Refuses while pictures are held or the video task holds `videoMutex`.
    bool detach() override;

    // The initial (and reset) state of the video descriptor.
    static NDIlib_video_frame_v2_t emptyVideoFrame();

private:
    void releaseVideoLocked();
};
