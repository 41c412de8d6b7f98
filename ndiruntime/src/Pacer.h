// Paces a caller at a frame rate against absolute deadlines counted from the
// first frame, so that the rate never drifts however long it runs.
#pragma once

#include <chrono>
#include <cstdint>

namespace ndiruntime {

class Pacer {
public:
    // Blocks until the next frame is due at rateN/rateD frames per second; the
    // first frame after a rate change, or after falling more than a few frames
    // behind, goes at once and starts a new count. Invalid rates do not wait,
    // and no wait is longer than one second.
    void wait(int rateN, int rateD);

private:
    std::chrono::steady_clock::time_point _start;
    int64_t _frames = 0;
    int _rateN = 0;
    int _rateD = 0;
};

} // namespace ndiruntime
