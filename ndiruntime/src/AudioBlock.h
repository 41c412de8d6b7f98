// One received audio frame, planar 32-bit float, channel after channel.
#pragma once

#include "WireFormat.h"

#include <vector>

namespace ndiruntime {

struct AudioBlock {
    AudioDescriptor descriptor{};
    std::vector<float> samples;
};

} // namespace ndiruntime
