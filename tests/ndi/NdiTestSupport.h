// Shared pieces of the NDI engine tests: a private discovery directory per
// test, sources published in this process, routing tables that a test owns,
// and a listener that records what the receiver reports.
#pragma once

#include "audio/RoutingTables.h"
#include "ndi/AVFramesContainer.h"
#include "ndi/NDIRx.h"
#include "tools/TestPicture.h"

#include "NDIlib.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nditest {

// Points the runtime's discovery at a fresh directory, so that tests never see
// each other's sources. Create it before any finder or sender of the test.
class PrivateNdiDir {
public:
    PrivateNdiDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-ndi-test-XXXXXX").string();
        _path = mkdtemp(pattern.data());
        setenv("QUORVANE_NDI_DIR", _path.c_str(), 1);
    }
    ~PrivateNdiDir() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    const std::string& path() const { return _path; }

private:
    std::string _path;
};

// This machine's name as the platform reports it (the runtime publishes it upper-cased).
inline std::string localHost() {
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

inline std::string upperCased(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

inline std::string lowerCased(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Waits up to `limit` for `done`, polling; returns its last answer.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A finder of the test's own, to see what the runtime lists.
class SourceWatcher {
public:
    SourceWatcher() {
        NDIlib_find_create_t settings{true, nullptr, nullptr};
        _finder = NDIlib_find_create_v3(&settings, nullptr);
    }
    ~SourceWatcher() { NDIlib_find_destroy(_finder); }
    SourceWatcher(const SourceWatcher&) = delete;
    SourceWatcher& operator=(const SourceWatcher&) = delete;

    std::set<std::string> names() {
        uint32_t count = 0;
        const NDIlib_source_v2_t* sources = NDIlib_find_get_current_sources_v2(_finder, &count);
        std::set<std::string> listed;
        for (uint32_t i = 0; i < count; ++i) {
            listed.insert(sources[i].p_ndi_name);
        }
        return listed;
    }

private:
    NDIlib_find_instance_t _finder = nullptr;
};

// A source published by this process: audio blocks of `channels` channels
// (channel c carries the constant value c + 1) every 10 ms, and test pictures
// at 30000/1001 when asked for. `host` publishes it under another host name.
class LocalSource {
public:
    struct Options {
        int channels = 2;
        bool video = false;
        std::string host;      // empty: this machine's name
        int pictureWidth = 64; // UYVY, two bytes per pixel
        int pictureHeight = 36;
        uint32_t sourceId = 1;
    };
    static Options audio(int channels, std::string host = {}) {
        Options options;
        options.channels = channels;
        options.host = std::move(host);
        return options;
    }
    static Options audioAndVideo(int channels) {
        Options options;
        options.channels = channels;
        options.video = true;
        return options;
    }

    LocalSource(std::string stream, Options options) : _options(std::move(options)) {
        const std::string config = _options.host.empty() ? std::string("{}") : "{\"host\": \"" + _options.host + "\"}";
        NDIlib_send_create_t settings{};
        settings.p_ndi_name = stream.c_str();
        settings.clock_video = false;
        settings.clock_audio = false;
        _sender = NDIlib_send_create_v2(&settings, config.c_str());
        _name = (_options.host.empty() ? upperCased(localHost()) : _options.host) + " (" + stream + ")";
        _thread = std::thread([this] { run(); });
    }
    ~LocalSource() {
        _stop = true;
        _thread.join();
        NDIlib_send_destroy(_sender);
    }
    LocalSource(const LocalSource&) = delete;
    LocalSource& operator=(const LocalSource&) = delete;

    const std::string& name() const { return _name; }
    int64_t picturesSent() const { return _pictures.load(); }

private:
    void run() {
        constexpr int kSamples = 480;
        std::vector<float> audio(static_cast<size_t>(std::max(_options.channels, 1)) * kSamples);
        for (int c = 0; c < _options.channels; ++c) {
            std::fill_n(audio.begin() + static_cast<std::ptrdiff_t>(c) * kSamples, kSamples, float(c + 1));
        }
        const size_t pictureBytes = static_cast<size_t>(_options.pictureWidth) * 2 * _options.pictureHeight;
        std::vector<uint8_t> picture(pictureBytes);
        auto next = std::chrono::steady_clock::now();
        auto nextPicture = next;
        while (!_stop) {
            if (_options.channels > 0) {
                NDIlib_audio_frame_v2_t frame{};
                frame.sample_rate = 48000;
                frame.no_channels = _options.channels;
                frame.no_samples = kSamples;
                frame.timecode = NDIlib_send_timecode_synthesize;
                frame.p_data = audio.data();
                frame.channel_stride_in_bytes = kSamples * 4;
                NDIlib_send_send_audio_v2(_sender, &frame);
            }
            if (_options.video && std::chrono::steady_clock::now() >= nextPicture) {
                TestPicture::Info info;
                info.index = _pictures.load();
                info.sourceId = _options.sourceId;
                TestPicture::fill(picture.data(), picture.size(), info);
                NDIlib_video_frame_v2_t frame{};
                frame.xres = _options.pictureWidth;
                frame.yres = _options.pictureHeight;
                frame.FourCC = NDIlib_FourCC_video_type_UYVY;
                frame.frame_rate_N = 30000;
                frame.frame_rate_D = 1001;
                frame.picture_aspect_ratio = 16.0f / 9.0f;
                frame.frame_format_type = NDIlib_frame_format_type_progressive;
                frame.timecode = NDIlib_send_timecode_synthesize;
                frame.p_data = picture.data();
                frame.line_stride_in_bytes = _options.pictureWidth * 2;
                NDIlib_send_send_video_v2(_sender, &frame);
                ++_pictures;
                nextPicture += std::chrono::microseconds(33367);
            }
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    }

    Options _options;
    NDIlib_send_instance_t _sender = nullptr;
    std::string _name;
    std::atomic<bool> _stop{false};
    std::atomic<int64_t> _pictures{0};
    std::thread _thread;
};

// The routing tables a controller would own, with the one way tests change
// them: addSource() the way the audio thread applies SOURCE_ADDED, while no
// capture task runs.
struct Tables {
    SenderTable senders;
    SenderChannelMappings mappings;
    SenderVideoSources videoSources;
    SourceConnectionCounts counts;
    RecvDataList recvSlots;
    SourceFrames frames;
    SourceAudioReady ready;
    CaptureTasks captureTasks;
    std::mutex tablesMutex;

    NDIRecvData& addSource(const std::string& name, int32_t connections = 0) {
        recvSlots.emplace_back(name);
        frames[name] = std::make_unique<AVFramesContainer>();
        ready[name] = false;
        counts[name] = connections;
        captureTasks.resize(recvSlots.size() / NDIRx::kSlotsPerTask + 1);
        return recvSlots.back();
    }
    AVFramesContainer& container(const std::string& name) { return static_cast<AVFramesContainer&>(*frames.at(name)); }
};

// Records the receiver's reports; video use is set by the test.
class RecordingListener : public NDIRx::Listener {
public:
    bool isVideoEnabled() override { return true; }
    bool isSourceUsedForVideo(std::string sourceName) override {
        std::lock_guard lock(_mutex);
        return _videoSources.count(sourceName) != 0;
    }
    void forwardSourceChannels(const std::string&, unsigned) override {}
    void channelCountChanged(const std::string& name, int32_t count) override {
        std::lock_guard lock(_mutex);
        _reports.emplace_back(name, count);
    }

    void setUsedForVideo(const std::string& name, bool used) {
        std::lock_guard lock(_mutex);
        if (used) {
            _videoSources.insert(name);
        } else {
            _videoSources.erase(name);
        }
    }
    std::vector<std::pair<std::string, int32_t>> takeReports() {
        std::lock_guard lock(_mutex);
        return std::exchange(_reports, {});
    }

private:
    std::mutex _mutex;
    std::set<std::string> _videoSources;
    std::vector<std::pair<std::string, int32_t>> _reports;
};

} // namespace nditest
