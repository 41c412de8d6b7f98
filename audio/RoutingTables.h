#pragma once

#include "audio/BlockTask.h"
#include "audio/ChannelMapping.h"
#include "ndi/FramesContainer.h"
#include "ndi/NDIRecvData.h"
#include "ndi/Sender.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The routing tables that the controller owns and the engines point into.
// Per-sender tables are ordered by name so that files and reports list senders
// in a stable order.
using SenderTable = std::map<std::string, Sender>;
using SenderChannelMappings = std::map<std::string, std::vector<ChannelMapping>>;
using SenderVideoSources = std::map<std::string, std::string>;

struct SourceIndexEntry {
    bool present = false;
    int64_t index = -1; // slot in the receiver list
};
using SourceIndex = std::unordered_map<std::string, SourceIndexEntry>;
using SourceConnectionCounts = std::unordered_map<std::string, int32_t>;
using RecvDataList = std::vector<NDIRecvData>; // one slot per source ever seen, never shrinks
using SourceFrames = std::unordered_map<std::string, std::unique_ptr<FramesContainer>>;
using SourceAudioReady = std::unordered_map<std::string, bool>;
// One handle per group of 8 receiver slots; the workers persist between blocks.
using CaptureTasks = std::vector<BlockTask>;
