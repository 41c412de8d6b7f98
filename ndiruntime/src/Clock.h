// Times in the runtime's unit: 100 ns since the Unix epoch on this host's clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace ndiruntime {

inline int64_t hostTime100ns() {
    return std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace ndiruntime
