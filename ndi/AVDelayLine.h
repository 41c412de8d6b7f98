#pragma once

#include "NDIlib.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct AVFramesContainer;

// A sender's A/V delay: a positive delay holds its audio back by whole blocks
// (audio ring, used by the audio thread), a negative one holds its video back
// by whole pictures (video ring, used by the video task). Rings grow and never
// shrink.
//
// Every field is guarded by `_mutex`; other classes use the operations below.
// The audio thread and the video task hold it only for a descriptor swap; a
// delay change prepares its ring slots outside it and swaps them in under it.
// Lock order: a container's videoMutex before `_mutex`.
class AVDelayLine {
public:
    AVDelayLine() = default;
    // Frees the audio buffers and returns held pictures to their frame-sync.
    ~AVDelayLine();
    AVDelayLine(AVDelayLine&& other) noexcept;
    AVDelayLine& operator=(AVDelayLine&& other) noexcept;
    AVDelayLine(const AVDelayLine&) = delete;
    AVDelayLine& operator=(const AVDelayLine&) = delete;

    // Delay task thread (or the thread that prepares the sender): sets the delay
    // in milliseconds and rebuilds. Returns false, with a log line and nothing
    // changed, beyond the engine's delay limit.
    bool setDelayMs(int32_t delayMs);
    // Remembers the sender's audio format; rebuilds when audio is delayed.
    // Thread that prepares the sender, or the audio thread.
    void setAudioFormat(int32_t sampleRate, int32_t samplesPerBlock, int32_t channelCount);
    // Audio thread: when the frame's sample rate differs from the remembered one,
    // remembers the frame's format and rebuilds a delayed audio ring.
    void followAudioFormat(const NDIlib_audio_frame_v2_t& frame);
    // Audio thread: with a positive delay and a ready ring, swaps the whole
    // descriptor with the slot at the audio index and advances the index, so the
    // frame now holds the block filled ring-length blocks ago. No allocation.
    // Returns true when swapped.
    bool delayAudio(NDIlib_audio_frame_v2_t& frame);
    // Computes the ring length for the current delay and format, growing the
    // matching ring; indices restart at 0. Any thread except while holding `_mutex`.
    void rebuild();

    // Video task: makes `source` the container whose frame-sync the ring's
    // pictures belong to; pictures of a previous source go back to their own
    // frame-sync first. Called without any container lock held.
    void attachVideoSource(AVFramesContainer& source);
    // Video task, with `source.videoMutex` held and `source` attached: follows
    // the picture rate of `source.videoFrame` and, with a negative delay and a
    // ready ring, swaps that picture with the next ring slot. The picture taken
    // into the ring counts as held by `source`; the one leaving it no longer.
    void delayVideo(AVFramesContainer& source);
    // Returns every ring picture to its frame-sync; the ring starts empty.
    // Called without any container lock held, never by two threads at once.
    void releaseVideo();

    // Snapshots for callers that report or test the line.
    double delay();
    uint64_t ringLength();
    bool ready();
    size_t audioRingSize();
    size_t videoRingSize();
    size_t heldPictures();

    std::vector<NDIlib_audio_frame_v2_t> _audioRing;
    std::vector<NDIlib_video_frame_v2_t> _videoRing;
    double _delay = 0.0; // seconds: > 0 delays audio, < 0 delays video
    int32_t _sampleRate = 0;
    int32_t _samplesPerBlock = 0;
    int32_t _channelCount = 0;
    int32_t _frameRateN = 0;
    int32_t _frameRateD = 0;
    uint64_t _ringLength = 0;
    uint64_t _audioIndex = 0;
    uint64_t _videoIndex = 0;
    bool _ready = false;
    NDIlib_framesync_instance_t _frameSync = nullptr; // owner of the pictures in _videoRing
    AVFramesContainer* _videoSource = nullptr;        // not owned: the container `_frameSync` belongs to
    // The audio slot buffers this line allocated. Buffers circulate between the
    // sender's frame and the ring by swaps, so ownership stays with whoever
    // allocated them: the sender its own buffer, the line these.
    std::vector<std::unique_ptr<float[]>> _audioBuffers;
    std::mutex _mutex;

private:
    // Moves every field of `other` here and leaves it empty; the caller holds both locks.
    void takeFrom(AVDelayLine& other);

    // What a rebuild was prepared for; its slots are swapped in only if it holds.
    struct Shape {
        double delay;
        int32_t sampleRate, samplesPerBlock, channelCount, rateN, rateD, slotChannels, slotSamples;
        size_t audioSlots, videoSlots, audioBuffers;
        bool operator==(const Shape&) const = default;
    };
    Shape shapeLocked() const;
    // Rebuilds for `newDelay` (seconds) when given, else for the current delay;
    // the new delay takes effect together with its ring.
    void rebuildFor(std::optional<double> newDelay);

    int32_t _slotChannels = 0; // the shape of every audio slot
    int32_t _slotSamples = 0;
    bool _trimPictures = false; // a rebuild may have left pictures in unused slots
};
