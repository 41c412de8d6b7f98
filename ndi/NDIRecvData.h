#pragma once

#include "NDIlib.h"

#include <cstdint>
#include <string>

// One receiver slot: a source ever seen, with its receiver and frame-sync while
// the source is used. Slots are never removed while the engine runs.
struct NDIRecvData {
    NDIlib_recv_instance_t receiver = nullptr; // null while closed
    NDIlib_recv_create_v3_t createSettings{};  // source name points at `sourceName`
    NDIlib_framesync_instance_t frameSync = nullptr;
    std::string sourceName;
    bool active = true;        // the finder lists the source
    int32_t channelCount = -1; // -1 unknown or gone, 0 video only, n audio channels
    bool openFailed = false;   // the last open yielded no handle (logged once)
    bool resetPending = false; // close at the next update that can, then reopen

    NDIRecvData() = default;
    explicit NDIRecvData(std::string name);
    // The create settings point into the slot's own name, so copies re-point them.
    NDIRecvData(const NDIRecvData& other);
    NDIRecvData& operator=(const NDIRecvData& other);

    // Points the create settings' source name at this slot's own name text.
    void pointSettingsAtName();
};
