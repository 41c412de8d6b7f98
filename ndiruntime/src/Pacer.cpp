#include "Pacer.h"

#include <thread>

namespace ndiruntime {

namespace {
constexpr int64_t lateFramesBeforeRestart = 4;
}

void Pacer::wait(int rateN, int rateD) {
    if (rateN <= 0 || rateD <= 0)
        return;
    auto now = std::chrono::steady_clock::now();
    if (rateN != _rateN || rateD != _rateD || _frames == 0) {
        _rateN = rateN;
        _rateD = rateD;
        _start = now;
        _frames = 1;
        return;
    }
    int64_t ticks = _frames * rateD; // in units of 1/rateN seconds
    auto due = _start + std::chrono::seconds(ticks / rateN) +
               std::chrono::nanoseconds(ticks % rateN * int64_t{1000000000} / rateN);
    auto period = std::chrono::nanoseconds(int64_t{rateD} * 1000000000 / rateN);
    if (now - due > lateFramesBeforeRestart * period) {
        _start = now;
        _frames = 1;
        return;
    }
    std::this_thread::sleep_until(due);
    ++_frames;
}

} // namespace ndiruntime
