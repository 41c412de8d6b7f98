// libsamplerate's fastest sinc converter (97 dB, 80 % of the band: cheap
// enough for dozens of channels) for interleaved float audio, with a ratio
// that may change from one call to the next (varispeed).
#pragma once

struct SRC_STATE_tag;

namespace ndiruntime {

class SampleRateConverter {
public:
    SampleRateConverter() = default;
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;

    // Allocates the converter for a channel count; false on failure (logged).
    bool configure(int channels);
    // Forgets all history and starts at this ratio (output rate / input rate).
    void reset(double ratio);
    // Converts up to inFrames into up to outFrames, gliding from the previous
    // ratio to this one; reports the frames used and made. No allocation.
    bool process(const float* in, long inFrames, float* out, long outFrames, double ratio, long& used, long& generated);

private:
    SRC_STATE_tag* _state = nullptr;
    int _channels = 0;
};

} // namespace ndiruntime
