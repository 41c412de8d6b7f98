#pragma once

#include "NDIlib.h"

// The newest audio block captured from one source, held until the next capture
// returns it to the frame-sync it came from.
struct FramesContainer {
    bool active = true; // the source is present; only active sources are routed
    NDIlib_audio_frame_v2_t audioFrame{};
    NDIlib_framesync_instance_t frameSync = nullptr; // where the held frames came from

    FramesContainer();
    virtual ~FramesContainer();
    FramesContainer(const FramesContainer&) = delete;
    FramesContainer& operator=(const FramesContainer&) = delete;

    // Returns the held frames to `frameSync` and leaves the descriptors empty.
    // Does nothing while `frameSync` is null. Called by the thread that owns the
    // container at that moment (a capture task, or the audio thread).
    virtual void release();
    // Audio thread, while no capture task runs: releases the frames and forgets
    // the frame-sync so that it can be destroyed. Returns false and changes
    // nothing while frames of it are still held elsewhere or in use.
    virtual bool detach();

    // Records the frame-sync that captured frames now come from. Capture task or
    // audio thread.
    virtual void attachFrameSync(NDIlib_framesync_instance_t newFrameSync);
    // Returns only the audio block to `frameSync` (capture tasks, which never
    // touch the video half).
    void releaseAudio();

    // The initial (and reset) state of the audio descriptor.
    static NDIlib_audio_frame_v2_t emptyAudioFrame();
};
