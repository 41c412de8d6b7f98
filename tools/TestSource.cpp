#include "tools/TestSource.h"

#include "tools/TestPicture.h"
#include "tools/TestSignal.h"

#include <QtGlobal>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

namespace {

// A sender that falls this far behind its deadlines (a stalled machine)
// skips ahead instead of sending the backlog in a burst.
constexpr int64_t kMaxBehindNs = 500000000;
// Longest sleep between looks at the stop flag.
constexpr int64_t kStopPollNs = 50000000;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// Compressed pictures vary in size like real ones do.
size_t compressedSize(const TestSource::Options& options, int64_t index) {
    const size_t base = static_cast<size_t>(options.width) * static_cast<size_t>(options.height) / 8;
    return std::max(TestPicture::kMinBytes, base + static_cast<size_t>(index % 8) * 64);
}

size_t pictureSize(const TestSource::Options& options, int64_t index) {
    if (options.pictureFormat == TestSource::PictureFormat::H264)
        return compressedSize(options, index);
    return static_cast<size_t>(options.width) * static_cast<size_t>(options.height) * 2;
}

} // namespace

TestSource::TestSource(const Options& options) : _options(options) {
    _audio.assign(static_cast<size_t>(_options.channels) * static_cast<size_t>(_options.blockSize), 0.0f);
    for (int ch = 0; ch < _options.channels; ++ch) {
        _words.push_back(TestSignal::tagWord({_options.sourceId, ch, _options.sampleRate}).value_or(0));
        _tones.emplace_back(ch, _options.sampleRate);
    }
    if (_options.video)
        _picture.assign(std::max(pictureSize(_options, 7), pictureSize(_options, 0)), 0);
}

TestSource::~TestSource() {
    if (_sender != nullptr)
        NDIlib_send_destroy(_sender);
}

bool TestSource::open() {
    const std::string config = _options.host.empty() ? std::string() : nlohmann::json{{"host", _options.host}}.dump();
    NDIlib_send_create_t settings{};
    settings.p_ndi_name = _options.name.c_str();
    settings.p_groups = nullptr;
    // Both are paced here, by deadline.
    settings.clock_video = false;
    settings.clock_audio = false;
    _sender = NDIlib_send_create_v2(&settings, config.empty() ? nullptr : config.c_str());
    return _sender != nullptr;
}

void TestSource::run(const std::atomic<bool>& stop) {
    const int rate = _options.sampleRate;
    const int block = _options.blockSize;
    const int64_t start = TestSignal::clockNs();
    const int64_t end = _options.seconds > 0 ? start + static_cast<int64_t>(_options.seconds * 1e9) : kNever;

    int64_t sample = TestSignal::sampleIndexAt(start, rate);
    int64_t picture = TestPicture::indexAt(start, _options.frameRateN, _options.frameRateD) + 1;
    const auto audioDeadline = [&] {
        return TestSignal::sampleTimeNs(sample + block, rate);
    };
    const auto videoDeadline = [&] {
        return TestPicture::timeNs(picture, _options.frameRateN, _options.frameRateD);
    };

    while (!stop.load()) {
        const int64_t next =
            std::min(_options.audio ? audioDeadline() : kNever, _options.video ? videoDeadline() : kNever);
        if (next >= end)
            break;
        const int64_t now = TestSignal::clockNs();
        if (now < next) {
            const int64_t wake = std::min(next, now + kStopPollNs);
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake)));
            continue;
        }
        if (_options.audio && audioDeadline() <= now) {
            if (now - audioDeadline() > kMaxBehindNs) {
                qWarning("quorvane-testsrc: %lld ms behind, skipping ahead",
                         static_cast<long long>((now - audioDeadline()) / 1000000));
                sample = TestSignal::sampleIndexAt(now, rate) - block;
            }
            sendAudio(sample);
            sample += block;
        }
        if (_options.video && videoDeadline() <= now) {
            if (now - videoDeadline() > kMaxBehindNs)
                picture = TestPicture::indexAt(now, _options.frameRateN, _options.frameRateD);
            sendPicture(picture);
            ++picture;
        }
    }
}

void TestSource::sendAudio(int64_t firstSample) {
    const int block = _options.blockSize;
    for (int ch = 0; ch < _options.channels; ++ch) {
        float* out = _audio.data() + static_cast<size_t>(ch) * static_cast<size_t>(block);
        if (_options.signal == Signal::Counter)
            TestSignal::fill(out, block, _words[static_cast<size_t>(ch)], firstSample);
        else
            _tones[static_cast<size_t>(ch)].fill(out, block);
    }
    NDIlib_audio_frame_v2_t frame{};
    frame.sample_rate = _options.sampleRate;
    frame.no_channels = _options.channels;
    frame.no_samples = block;
    frame.timecode = TestSignal::sampleTimeNs(firstSample, _options.sampleRate) / 100;
    frame.p_data = _audio.data();
    frame.channel_stride_in_bytes = block * static_cast<int>(sizeof(float));
    frame.p_metadata = nullptr;
    frame.timestamp = 0;
    NDIlib_send_send_audio_v2(_sender, &frame);
}

void TestSource::sendPicture(int64_t index) {
    const size_t size = pictureSize(_options, index);
    TestPicture::fill(_picture.data(), size,
                      {index, _options.frameRateN, _options.frameRateD, static_cast<uint32_t>(_options.sourceId)});
    NDIlib_video_frame_v2_t frame{};
    frame.xres = _options.width;
    frame.yres = _options.height;
    frame.frame_rate_N = _options.frameRateN;
    frame.frame_rate_D = _options.frameRateD;
    frame.picture_aspect_ratio = static_cast<float>(_options.width) / static_cast<float>(_options.height);
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.timecode = TestPicture::timeNs(index, _options.frameRateN, _options.frameRateD) / 100;
    frame.p_data = _picture.data();
    if (_options.pictureFormat == PictureFormat::H264) {
        frame.FourCC = NDIlib_FourCC_video_type_H264;
        frame.data_size_in_bytes = static_cast<int>(size);
    } else {
        frame.FourCC = NDIlib_FourCC_video_type_UYVY;
        frame.line_stride_in_bytes = _options.width * 2;
    }
    frame.p_metadata = nullptr;
    frame.timestamp = 0;
    NDIlib_send_send_video_v2(_sender, &frame);
}
