// quorvane-testsrc's sender: one NDI source that sends the counter test signal
// (TestSignal.h) or tones (TestTone.h) and, if asked, test pictures
// (TestPicture.h). Audio blocks and pictures go out at absolute deadlines on
// the steady clock, so the stream never drifts from the clock it carries.
#pragma once

#include "tools/TestTone.h"

#include <NDIlib.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class TestSource {
public:
    enum class Signal { Counter, Tone };
    enum class PictureFormat { UYVY, H264 };

    struct Options {
        std::string name = "Quorvane Test";
        std::string host; // publish under this host name instead of the machine's
        int channels = 2;
        int sourceId = 0;
        int sampleRate = 48000;
        int blockSize = 512;
        Signal signal = Signal::Counter;
        bool audio = true;
        bool video = false;
        int frameRateN = 30000;
        int frameRateD = 1001;
        PictureFormat pictureFormat = PictureFormat::UYVY;
        int width = 320;
        int height = 180;
        double seconds = 0; // run time; 0 runs until stopped
    };

    explicit TestSource(const Options& options);
    ~TestSource();
    TestSource(const TestSource&) = delete;
    TestSource& operator=(const TestSource&) = delete;

    // Publishes the source; false when the runtime gives no sender.
    bool open();
    // Sends until the run time is over or stop is set; blocks the calling thread.
    void run(const std::atomic<bool>& stop);

private:
    void sendAudio(int64_t firstSample);
    void sendPicture(int64_t index);

    Options _options;
    NDIlib_send_instance_t _sender = nullptr;
    std::vector<uint32_t> _words;  // counter: one tag word per channel
    std::vector<TestTone> _tones;  // tone: one oscillator per channel
    std::vector<float> _audio;     // planar block
    std::vector<uint8_t> _picture; // largest picture
};
