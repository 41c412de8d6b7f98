#include "tools/TestTone.h"

#include <cmath>
#include <numbers>

TestTone::TestTone(int channel, int sampleRate) : _step(frequency(channel) / sampleRate) {}

double TestTone::frequency(int channel) {
    return 220.0 * std::exp2(static_cast<double>(channel % 48) / 12.0);
}

void TestTone::fill(float* out, int count) {
    for (int i = 0; i < count; ++i) {
        out[i] = static_cast<float>(0.25 * std::sin(2.0 * std::numbers::pi * _phase));
        _phase += _step;
        _phase -= std::floor(_phase);
    }
}
