#include "Pacer.h"

#include <algorithm>
#include <thread>

namespace ndiruntime {

namespace {
constexpr int64_t lateFramesBeforeRestart = 4;
constexpr auto maxWait = std::chrono::seconds(1);
} // namespace

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
    // Rates are at least one picture a second, so no wait is longer; this also
    // holds when the caller's rate and the count disagree.
    std::this_thread::sleep_until(std::min(due, now + maxWait));
    ++_frames;
}

} // namespace ndiruntime
