// One received picture exactly as the sender sent it. Shared, read-only, by
// every holder that captured it.
#pragma once

#include "WireFormat.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ndiruntime {

struct VideoPicture {
    VideoDescriptor descriptor{};
    std::vector<uint8_t> data;
    std::string metadata;
};

} // namespace ndiruntime
