#pragma once

#include "ndi/FramesContainer.h"
#include "ndi/NDIRecvData.h"

#include <memory>
#include <string>

// A source being added: the slot and container that SOURCE_ADDED installs.
struct RecvCreation {
    std::string name;
    bool reuse = false; // the source returns to its existing slot
    const bool* videoEnabled = nullptr;
    NDIRecvData recvData;
    std::unique_ptr<FramesContainer> frames;
    bool audioReady = false;
};
