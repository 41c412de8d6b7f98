#pragma once

#include "audio/RecvCreation.h"
#include "ndi/SenderCreation.h"

#include <cstdint>
#include <memory>
#include <string>

// One queued routing change, applied by the audio thread at the end of a block.
struct RoutingEvent {
    enum Kind : uint32_t {
        SOURCE_REMOVED = 0,
        SOURCE_ADDED = 1,
        SENDER_REMOVED = 2,
        SENDER_ADDED = 3,
        SOURCE_CHANNELS_CHANGED = 4,
        CONNECTION_SET = 5,
        VIDEO_SOURCE_SET = 6,
        SENDERS_CLEARED = 7,
        MAPPINGS_APPLIED = 8,
        // Removes a sender's video source; queued so that it keeps its place
        // among the same thread's other changes.
        VIDEO_SOURCE_CLEARED = 9,
    };

    uint32_t kind = SOURCE_REMOVED;
    std::string name;
    std::unique_ptr<RecvCreation> recvCreation;     // SOURCE_ADDED only
    std::unique_ptr<SenderCreation> senderCreation; // SENDER_ADDED only
    uint32_t count = 0;                             // SOURCE_CHANNELS_CHANGED
    std::string sourceName;
    std::string senderName;
    uint32_t sourceChannel = 0;
    uint32_t senderChannel = 0;
};
