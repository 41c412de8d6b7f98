#pragma once

#include "ndi/AVDelayLine.h"

#include "NDIlib.h"

#include <cstdint>
#include <future>
#include <memory>
#include <string>

// One outgoing sender: its NDI output, its block buffer and its A/V delay.
// Lives in the controller's sender table; "Monitor" has no NDI output.
// A positive delay swaps the frame descriptor with audio ring slots, so
// `audioFrame.p_data` may point at a buffer of the ring while a ring slot points
// at `buffer`; each buffer stays owned by whoever allocated it.
struct Sender {
    NDIlib_send_instance_t sendInstance = nullptr; // owned; null for "Monitor" and until created
    NDIlib_send_create_t createSettings{};         // name points at `name`
    NDIlib_audio_frame_v2_t audioFrame{};          // p_data points into `buffer` or an audio ring slot
    std::unique_ptr<float[]> buffer;               // planar, channels x block size
    bool videoEnabled = true;
    AVDelayLine delayLine;
    std::future<void> delayTask; // the latest delay change; replacing it waits for it
    std::string name;
    // The delay last asked for, in milliseconds; what a saved file holds. Written
    // and read under the controller's tables mutex.
    int32_t delayMs = 0;

    Sender() = default;
    Sender(Sender&& other) noexcept;
    // Closes this record's own NDI output before taking over `other`'s.
    Sender& operator=(Sender&& other) noexcept;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    // Closes the NDI output; waits for a running delay change.
    ~Sender();

    // Points the create settings' name at this record's own name text.
    void pointSettingsAtName();

    // Destroys the NDI output, if any. Never called for a sender still in use by
    // another thread.
    void closeOutput();

    // True while the latest delay change is still running (any thread that may
    // read `delayTask`).
    bool delayChangeRunning() const;

private:
    void release();
};
