#pragma once

#include <cstdint>
#include <string>

// The routing of one sender channel: which source channel feeds it.
struct ChannelMapping {
    // Marks a sender channel that nothing feeds.
    static constexpr uint32_t kUnconnected = 0xFFFFFFFFu;

    uint32_t sourceChannel = kUnconnected; // counted from 0
    std::string sourceName;                // empty when nothing feeds the channel

    bool operator==(const ChannelMapping&) const = default;
};
