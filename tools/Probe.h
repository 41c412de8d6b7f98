// quorvane-probe's receiver: finds one NDI source by its full name, receives
// everything it sends with a plain receiver (pictures exactly as sent),
// decodes the counter test signal on every channel and the test pictures,
// and reports on them as one JSON object.
#pragma once

#include "tools/LatencyStatistics.h"
#include "tools/TestSignalDecoder.h"
#include "tools/WavRecorder.h"

#include <NDIlib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Probe {
public:
    struct Options {
        std::string source;        // "HOST (stream)"
        double seconds = 3;        // how long to analyse
        double skipSeconds = 0;    // received but not analysed, at the start
        double timeoutSeconds = 5; // how long to look for the source
        std::string wavPath;       // also record the analysed audio there
    };

    explicit Probe(const Options& options);

    // Finds and receives the source and returns the report; blocks until done
    // or until stop is set.
    nlohmann::ordered_json run(const std::atomic<bool>& stop);
    // The source was found and sent something.
    bool succeeded() const { return _found && (_audioFrames > 0 || _pictures.count > 0); }

private:
    struct Pictures {
        int64_t count = 0;
        int64_t intact = 0;
        int64_t damaged = 0;
        int64_t foreign = 0;
        int64_t missing = 0;
        int64_t repeated = 0;
        std::optional<int64_t> lastIndex;
        std::optional<uint32_t> sourceId;
        uint32_t fourcc = 0;
        int xres = 0;
        int yres = 0;
        int rateN = 0;
        int rateD = 0;
        int64_t firstArrivalNs = 0;
        int64_t lastArrivalNs = 0;
        LatencyStatistics latencyMs;
    };

    bool find(const std::atomic<bool>& stop, std::string& url);
    void receive(NDIlib_recv_instance_t receiver, const std::atomic<bool>& stop);
    void takeAudio(const NDIlib_audio_frame_v3_t& frame, int64_t arrivalNs);
    void takePicture(const NDIlib_video_frame_v2_t& frame, int64_t arrivalNs);
    nlohmann::ordered_json report() const;

    Options _options;
    bool _found = false;
    bool _connected = false;
    int64_t _audioFrames = 0;
    int64_t _badFrames = 0;
    int64_t _metadataFrames = 0;
    int _channels = 0;
    int _sampleRate = 0;
    int _samplesPerFrame = 0;
    std::vector<TestSignalDecoder> _decoders;
    std::vector<const float*> _channelPointers; // scratch for the recorder
    std::unique_ptr<WavRecorder> _wav;
    bool _wavTried = false;
    bool _wavRateWarned = false;
    Pictures _pictures;
};
