#include "SampleRateConverter.h"

#include "Log.h"

#include <samplerate.h>

namespace ndiruntime {

SampleRateConverter::~SampleRateConverter() {
    if (_state)
        src_delete(_state);
}

bool SampleRateConverter::configure(int channels) {
    if (_state && channels == _channels)
        return true;
    if (_state)
        src_delete(_state);
    int error = 0;
    _state = src_new(SRC_SINC_FASTEST, channels, &error);
    _channels = _state ? channels : 0;
    if (!_state)
        logLine("cannot create a sample-rate converter: %s", src_strerror(error));
    return _state != nullptr;
}

void SampleRateConverter::reset(double ratio) {
    if (!_state)
        return;
    src_reset(_state);
    src_set_ratio(_state, ratio);
}

bool SampleRateConverter::process(const float* in, long inFrames, float* out, long outFrames, double ratio, long& used,
                                  long& generated) {
    used = 0;
    generated = 0;
    if (!_state)
        return false;
    SRC_DATA data{};
    data.data_in = in;
    data.input_frames = inFrames;
    data.data_out = out;
    data.output_frames = outFrames;
    data.src_ratio = ratio;
    if (src_process(_state, &data) != 0)
        return false;
    used = data.input_frames_used;
    generated = data.output_frames_gen;
    return true;
}

} // namespace ndiruntime
