#include "tools/Probe.h"

#include "tools/TestPicture.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using json = nlohmann::ordered_json;

// Bounds on what a received frame may claim, so that a bad frame cannot make
// the decoders hold unbounded memory.
constexpr int kMaxChannels = 1024;
constexpr int kMaxSamplesPerFrame = 1 << 16;
constexpr int64_t kMaxSamplesPerFrameAllChannels = 1 << 22;
constexpr int kMaxPictureBytes = 256 << 20;
constexpr uint32_t kCaptureTimeoutMs = 50;

int64_t seconds(double s) {
    return static_cast<int64_t>(s * 1e9);
}

json optionalNumber(const std::optional<double>& value) {
    return value ? json(*value) : json(nullptr);
}

std::string fourccText(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

const char* kindText(TestSignalDecoder::EventKind kind) {
    switch (kind) {
    case TestSignalDecoder::EventKind::Dropped:
        return "dropped";
    case TestSignalDecoder::EventKind::Repeated:
        return "repeated";
    case TestSignalDecoder::EventKind::Zeroed:
        return "zeroed";
    case TestSignalDecoder::EventKind::Corrupt:
        return "corrupt";
    }
    return "corrupt";
}

} // namespace

Probe::Probe(const Options& options) : _options(options) {}

json Probe::run(const std::atomic<bool>& stop) {
    std::string url;
    _found = find(stop, url);
    if (!_found) {
        qWarning("quorvane-probe: \"%s\" not found", _options.source.c_str());
        return report();
    }
    NDIlib_recv_create_v3_t settings{};
    settings.source_to_connect_to.p_ndi_name = _options.source.c_str();
    settings.source_to_connect_to.p_url_address = url.empty() ? nullptr : url.c_str();
    settings.color_format = NDIlib_recv_color_format_compressed_v5;
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    _connected = receiver != nullptr;
    if (!_connected) {
        qWarning("quorvane-probe: the NDI runtime gave no receiver for \"%s\"", _options.source.c_str());
        return report();
    }
    receive(receiver, stop);
    NDIlib_recv_destroy(receiver);
    for (TestSignalDecoder& decoder : _decoders)
        decoder.finish();
    _wav.reset();
    return report();
}

bool Probe::find(const std::atomic<bool>& stop, std::string& url) {
    NDIlib_find_create_t settings{};
    settings.show_local_sources = true;
    NDIlib_find_instance_t finder = NDIlib_find_create_v3(&settings, nullptr);
    if (finder == nullptr)
        return false;
    const int64_t deadline = TestSignal::clockNs() + seconds(_options.timeoutSeconds);
    bool found = false;
    while (!found && !stop.load()) {
        uint32_t count = 0;
        const NDIlib_source_v2_t* sources = NDIlib_find_get_current_sources_v2(finder, &count);
        for (uint32_t i = 0; sources != nullptr && i < count && !found; ++i) {
            if (sources[i].p_ndi_name != nullptr && _options.source == sources[i].p_ndi_name) {
                found = true;
                url = sources[i].p_url_address != nullptr ? sources[i].p_url_address : "";
            }
        }
        if (found || TestSignal::clockNs() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    NDIlib_find_destroy(finder);
    return found;
}

void Probe::receive(NDIlib_recv_instance_t receiver, const std::atomic<bool>& stop) {
    const int64_t start = TestSignal::clockNs();
    const int64_t analyseFrom = start + seconds(_options.skipSeconds);
    const int64_t end = analyseFrom + seconds(_options.seconds);
    while (!stop.load() && TestSignal::clockNs() < end) {
        NDIlib_video_frame_v2_t video{};
        NDIlib_audio_frame_v3_t audio{};
        NDIlib_metadata_frame_t metadata{};
        const NDIlib_frame_type_e type = NDIlib_recv_capture_v3(receiver, &video, &audio, &metadata, kCaptureTimeoutMs);
        const int64_t arrival = TestSignal::clockNs();
        const bool analysed = arrival >= analyseFrom && arrival < end;
        switch (type) {
        case NDIlib_frame_type_audio:
            if (analysed)
                takeAudio(audio, arrival);
            NDIlib_recv_free_audio_v3(receiver, &audio);
            break;
        case NDIlib_frame_type_video:
            if (analysed)
                takePicture(video, arrival);
            NDIlib_recv_free_video_v2(receiver, &video);
            break;
        case NDIlib_frame_type_metadata:
            _metadataFrames += analysed;
            NDIlib_recv_free_metadata(receiver, &metadata);
            break;
        default:
            break;
        }
    }
}

void Probe::takeAudio(const NDIlib_audio_frame_v3_t& frame, int64_t arrivalNs) {
    const bool valid = frame.FourCC == NDIlib_FourCC_audio_type_FLTP && frame.p_data != nullptr &&
                       frame.no_channels >= 1 && frame.no_channels <= kMaxChannels && frame.no_samples >= 1 &&
                       frame.no_samples <= kMaxSamplesPerFrame &&
                       static_cast<int64_t>(frame.no_channels) * frame.no_samples <= kMaxSamplesPerFrameAllChannels &&
                       frame.sample_rate >= 1000 && frame.sample_rate <= 768000 &&
                       frame.channel_stride_in_bytes >= frame.no_samples * static_cast<int>(sizeof(float));
    if (!valid) {
        if (_badFrames++ == 0)
            qWarning("quorvane-probe: unusable audio frame (%d channels, %d samples, %d Hz, stride %d), ignored",
                     frame.no_channels, frame.no_samples, frame.sample_rate, frame.channel_stride_in_bytes);
        return;
    }
    ++_audioFrames;
    _channels = std::max(_channels, frame.no_channels);
    _sampleRate = frame.sample_rate;
    _samplesPerFrame = frame.no_samples;
    if (_decoders.size() < static_cast<size_t>(frame.no_channels))
        _decoders.resize(static_cast<size_t>(frame.no_channels));
    _channelPointers.resize(static_cast<size_t>(frame.no_channels));
    for (int ch = 0; ch < frame.no_channels; ++ch) {
        const auto* samples = reinterpret_cast<const float*>(
            frame.p_data + static_cast<size_t>(ch) * static_cast<size_t>(frame.channel_stride_in_bytes));
        _channelPointers[static_cast<size_t>(ch)] = samples;
        _decoders[static_cast<size_t>(ch)].push(samples, frame.no_samples, frame.sample_rate, arrivalNs);
    }
    if (!_options.wavPath.empty() && !_wavTried) {
        _wavTried = true;
        _wav = std::make_unique<WavRecorder>();
        if (!_wav->open(_options.wavPath, frame.no_channels, frame.sample_rate)) {
            qWarning("quorvane-probe: cannot write \"%s\"", _options.wavPath.c_str());
            _wav.reset();
        }
    }
    if (_wav) {
        if (frame.sample_rate != _wav->sampleRate() && !_wavRateWarned) {
            _wavRateWarned = true;
            qWarning("quorvane-probe: the sample rate changed to %d Hz; the recording keeps %d Hz", frame.sample_rate,
                     _wav->sampleRate());
        }
        _wav->write(_channelPointers.data(), frame.no_channels, frame.no_samples);
    }
}

void Probe::takePicture(const NDIlib_video_frame_v2_t& frame, int64_t arrivalNs) {
    Pictures& p = _pictures;
    if (p.count++ == 0)
        p.firstArrivalNs = arrivalNs;
    p.lastArrivalNs = arrivalNs;
    p.fourcc = static_cast<uint32_t>(frame.FourCC);
    p.xres = frame.xres;
    p.yres = frame.yres;
    p.rateN = frame.frame_rate_N;
    p.rateD = frame.frame_rate_D;
    // Uncompressed pictures span stride times lines; compressed ones say their size.
    const bool compressed =
        frame.FourCC == NDIlib_FourCC_video_type_H264 || frame.FourCC == NDIlib_FourCC_video_type_HEVC;
    const int64_t size =
        compressed ? frame.data_size_in_bytes : static_cast<int64_t>(frame.line_stride_in_bytes) * frame.yres;
    if (frame.p_data == nullptr || size <= 0 || size > kMaxPictureBytes || frame.yres < 0) {
        ++p.foreign;
        return;
    }
    const TestPicture::Check check = TestPicture::check(frame.p_data, static_cast<size_t>(size));
    if (check.state == TestPicture::State::Foreign) {
        ++p.foreign;
        return;
    }
    if (check.state == TestPicture::State::Damaged) {
        ++p.damaged;
        return;
    }
    ++p.intact;
    p.sourceId = check.info.sourceId;
    const int64_t index = check.info.index;
    if (p.lastIndex && index <= *p.lastIndex) {
        ++p.repeated;
        return;
    }
    if (p.lastIndex)
        p.missing += index - *p.lastIndex - 1;
    p.lastIndex = index;
    if (check.info.rateN > 0 && check.info.rateD > 0)
        p.latencyMs.add(
            static_cast<double>(arrivalNs - TestPicture::timeNs(index, check.info.rateN, check.info.rateD)) / 1e6);
}

json Probe::report() const {
    json out;
    out["found"] = _found;
    out["source"] = _options.source;
    out["seconds"] = _options.seconds;
    out["skipSeconds"] = _options.skipSeconds;
    out["connected"] = _connected;
    out["received"] = succeeded();
    out["frames"] = _audioFrames;
    out["badFrames"] = _badFrames;
    out["metadataFrames"] = _metadataFrames;
    out["channels"] = _channels;
    out["sampleRate"] = _sampleRate > 0 ? json(_sampleRate) : json(nullptr);
    out["samplesPerFrame"] = _samplesPerFrame > 0 ? json(_samplesPerFrame) : json(nullptr);

    json audio = json::array();
    std::vector<double> channelLatencies;
    for (size_t ch = 0; ch < _decoders.size(); ++ch) {
        const TestSignalDecoder::Report r = _decoders[ch].report();
        const bool carriesTag = !r.silent && r.tag.has_value();
        json c;
        c["channel"] = ch;
        c["silent"] = r.silent;
        c["signal"] = r.silent ? "silence" : carriesTag ? "counter" : "other";
        c["sourceId"] = carriesTag ? json(r.tag->sourceId) : json(nullptr);
        c["sourceChannel"] = carriesTag ? json(r.tag->channel) : json(nullptr);
        c["sourceSampleRate"] = carriesTag ? json(r.tag->sampleRate) : json(nullptr);
        c["otherTagWords"] = r.otherWords;
        c["bitExact"] = r.bitExact;
        c["resampled"] = r.resampled;
        c["rateRatio"] = r.recognised ? json(r.rateRatio) : json(nullptr);
        c["verifiedSamples"] = r.verifiedSamples;
        c["dropouts"] = r.dropouts;
        c["droppedSamples"] = r.droppedSamples;
        c["repeatedSamples"] = r.repeatedSamples;
        c["zeroedSamples"] = r.zeroedSamples;
        c["corruptSamples"] = r.corruptSamples;
        json events = json::array();
        for (const auto& e : r.events)
            events.push_back({{"kind", kindText(e.kind)},
                              {"atMs", _sampleRate > 0 ? static_cast<double>(e.position) * 1000.0 / _sampleRate : 0.0},
                              {"samples", e.samples}});
        c["dropoutEvents"] = events;
        const auto& latency = r.latencyMs;
        c["latencyMs"] = latency ? json(latency->median) : json(nullptr);
        c["latencyMsP99"] = latency ? json(latency->p99) : json(nullptr);
        c["latencyMsMin"] = latency ? json(latency->min) : json(nullptr);
        c["latencyMsMax"] = latency ? json(latency->max) : json(nullptr);
        if (latency && carriesTag)
            channelLatencies.push_back(latency->median);
        audio.push_back(c);
    }
    out["audio"] = audio;

    const Pictures& p = _pictures;
    if (p.count == 0) {
        out["video"] = nullptr;
        return out;
    }
    json video;
    video["pictures"] = p.count;
    video["intact"] = p.intact;
    video["damaged"] = p.damaged;
    video["foreign"] = p.foreign;
    video["missing"] = p.missing;
    video["repeated"] = p.repeated;
    video["fourcc"] = fourccText(p.fourcc);
    video["xres"] = p.xres;
    video["yres"] = p.yres;
    video["frameRate"] = std::to_string(p.rateN) + "/" + std::to_string(p.rateD);
    video["pictureRate"] =
        p.count > 1 && p.lastArrivalNs > p.firstArrivalNs
            ? json(static_cast<double>(p.count - 1) * 1e9 / static_cast<double>(p.lastArrivalNs - p.firstArrivalNs))
            : json(nullptr);
    video["sourceId"] = p.sourceId ? json(*p.sourceId) : json(nullptr);
    const auto latency = p.latencyMs.summary();
    video["latencyMs"] = latency ? json(latency->median) : json(nullptr);
    video["latencyMsP99"] = latency ? json(latency->p99) : json(nullptr);
    // Positive: the pictures arrive later than the audio of the same moment.
    std::optional<double> offset;
    if (latency && !channelLatencies.empty()) {
        std::sort(channelLatencies.begin(), channelLatencies.end());
        offset = latency->median - channelLatencies[(channelLatencies.size() - 1) / 2];
    }
    video["avOffsetMs"] = optionalNumber(offset);
    out["video"] = video;
    return out;
}
