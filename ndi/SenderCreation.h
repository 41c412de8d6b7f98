#pragma once

#include "audio/ChannelMapping.h"
#include "ndi/Sender.h"

#include <cstdint>
#include <string>
#include <vector>

// A sender being added: prepared on the adding thread, handed to the audio
// thread in a SENDER_ADDED event.
struct SenderCreation {
    std::string name;
    const bool* videoEnabled = nullptr; // the controller's flag
    Sender sender;
    std::vector<ChannelMapping> mappings;
    std::string videoSource; // empty when none

    // Gives the new sender its zeroed block buffer (channelCount x blockSize
    // floats), its delay line's format and, unless it is "Monitor", its NDI
    // output; sizes `mappings` to channelCount unconnected entries. Runs on the
    // adding thread on a sender no other thread sees. Refuses (false, nothing
    // allocated) a channel count above EngineLimits::kMaxSenderChannels or a
    // format that is not positive.
    bool prepare(int32_t channelCount, int32_t sampleRate, int32_t blockSize);
};
