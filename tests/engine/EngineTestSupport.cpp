#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

extern "C" {
NDIlib_send_instance_t __real_NDIlib_send_create_v2(const NDIlib_send_create_t* settings, const char* config);
void __real_NDIlib_send_destroy(NDIlib_send_instance_t instance);
void __real_NDIlib_send_send_audio_v2(NDIlib_send_instance_t instance, const NDIlib_audio_frame_v2_t* frame);
void __real_NDIlib_destroy(void);
void __real_NDIlib_framesync_destroy(NDIlib_framesync_instance_t instance);
}

namespace NdiCalls {
std::atomic<int> liveSenders{0};
std::atomic<int> audioSends{0};
std::atomic<int> runtimeEnds{0};
namespace {
std::mutex orderMutex;
std::vector<std::string> calls;
void record(const char* call) {
    std::lock_guard lock(orderMutex);
    calls.emplace_back(call);
}
} // namespace
std::vector<std::string> order() {
    std::lock_guard lock(orderMutex);
    return calls;
}
void clearOrder() {
    std::lock_guard lock(orderMutex);
    calls.clear();
}
} // namespace NdiCalls

extern "C" {
NDIlib_send_instance_t __wrap_NDIlib_send_create_v2(const NDIlib_send_create_t* settings, const char* config) {
    NDIlib_send_instance_t instance = __real_NDIlib_send_create_v2(settings, config);
    if (instance != nullptr) {
        ++NdiCalls::liveSenders;
    }
    return instance;
}
void __wrap_NDIlib_send_destroy(NDIlib_send_instance_t instance) {
    if (instance != nullptr) {
        --NdiCalls::liveSenders;
        NdiCalls::record("send_destroy");
    }
    __real_NDIlib_send_destroy(instance);
}
void __wrap_NDIlib_send_send_audio_v2(NDIlib_send_instance_t instance, const NDIlib_audio_frame_v2_t* frame) {
    ++NdiCalls::audioSends;
    __real_NDIlib_send_send_audio_v2(instance, frame);
}
void __wrap_NDIlib_destroy(void) {
    ++NdiCalls::runtimeEnds;
    NdiCalls::record("destroy");
    __real_NDIlib_destroy();
}
void __wrap_NDIlib_framesync_destroy(NDIlib_framesync_instance_t instance) {
    NdiCalls::record("framesync_destroy");
    __real_NDIlib_framesync_destroy(instance);
}
}

namespace {
std::filesystem::path makeTemporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// One NDI registry for the whole process, away from the user's; removed at exit.
struct NdiDirectory {
    std::filesystem::path path = makeTemporaryDirectory("quorvane-engine-ndi");
    NdiDirectory() { setenv("QUORVANE_NDI_DIR", path.c_str(), 1); }
    ~NdiDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

void useTestNdiDirectory() {
    static const NdiDirectory directory;
}
} // namespace

EngineEnvironment::EngineEnvironment() : _root(makeTemporaryDirectory("quorvane-engine-test")) {
    useTestNdiDirectory();
    std::filesystem::create_directories(_root / "home");
    std::filesystem::create_directories(_root / "data");
    setenv("HOME", (_root / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (_root / "data").c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
}

EngineEnvironment::~EngineEnvironment() {
    std::error_code ignored;
    std::filesystem::permissions(_root, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(_root, ignored);
}

std::string EngineEnvironment::defaultFile() const {
    return AudioController::defaultChannelMappingsPath();
}

std::string EngineEnvironment::readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void EngineEnvironment::writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// ---- listener ----

void RecordingListener::sendersChanged(const SenderChannelMappings& mappings, SenderVideoSources& videoSources) {
    {
        std::lock_guard lock(mutex);
        ++sendersChangedCount;
        lastMappings = mappings;
        lastVideoSources = videoSources;
        reports.push_back("sendersChanged");
    }
    if (onSendersChanged) {
        onSendersChanged();
    }
}

void RecordingListener::sourceAdded(const std::string& name, int channelCount) {
    std::lock_guard lock(mutex);
    reports.push_back("sourceAdded " + name + " " + std::to_string(channelCount));
}

void RecordingListener::sourceRemoved(const std::string& name) {
    std::lock_guard lock(mutex);
    reports.push_back("sourceRemoved " + name);
}

void RecordingListener::sourceChannelsChanged(const std::string& name, int channelCount) {
    std::lock_guard lock(mutex);
    reports.push_back("sourceChannelsChanged " + name + " " + std::to_string(channelCount));
}

void RecordingListener::senderDelayChanged(const std::string& senderName, int delayMs) {
    std::lock_guard lock(mutex);
    reports.push_back("senderDelayChanged " + senderName + " " + std::to_string(delayMs));
}

std::vector<std::string> RecordingListener::take() {
    std::lock_guard lock(mutex);
    return std::exchange(reports, {});
}

// ---- controller access ----

void AudioControllerTestAccess::runBlock(AudioController& controller, float* const* outputs, int outputCount,
                                         int samples) {
    controller.audioDeviceIOCallbackWithContext(nullptr, 0, outputs, outputCount, samples,
                                                juce::AudioIODeviceCallbackContext{});
}

void AudioControllerTestAccess::sourcesChanged(AudioController& controller, const std::set<std::string>& sources) {
    controller.sourcesChanged(sources);
}

void AudioControllerTestAccess::channelCountChanged(AudioController& controller, const std::string& name,
                                                    int32_t count) {
    controller.channelCountChanged(name, count);
}

int32_t AudioControllerTestAccess::connectionCount(AudioController& controller, const std::string& source) {
    std::lock_guard lock(controller._tablesMutex);
    const auto count = controller._sourceConnectionCounts.find(source);
    return count == controller._sourceConnectionCounts.end() ? -1 : count->second;
}

size_t AudioControllerTestAccess::queuedEvents(AudioController& controller) {
    std::lock_guard lock(controller._eventMutex);
    return controller._eventQueue.size();
}

std::pair<bool, int32_t> AudioControllerTestAccess::slot(AudioController& controller, const std::string& source) {
    std::lock_guard lock(controller._tablesMutex);
    const auto index = controller._sourceIndex.find(source);
    if (index == controller._sourceIndex.end()) {
        return {false, -2};
    }
    const NDIRecvData& data = controller._ndiRecvDataList.at(static_cast<size_t>(index->second.index));
    return {data.active, data.channelCount};
}

bool AudioControllerTestAccess::sourceActive(AudioController& controller, const std::string& source) {
    std::lock_guard lock(controller._tablesMutex);
    const auto frames = controller._sourceFrames.find(source);
    return frames != controller._sourceFrames.end() && frames->second->active;
}

std::vector<float> AudioControllerTestAccess::senderChannel(AudioController& controller, const std::string& sender,
                                                            int channel) {
    const auto found = controller._senders.find(sender);
    if (found == controller._senders.end()) {
        return {};
    }
    const NDIlib_audio_frame_v2_t& frame = found->second.audioFrame;
    const float* start = frame.p_data + static_cast<size_t>(channel) * (frame.channel_stride_in_bytes / sizeof(float));
    return std::vector<float>(start, start + frame.no_samples);
}

int32_t AudioControllerTestAccess::pendingDelay(AudioController& controller, const std::string& sender) {
    std::lock_guard lock(controller._pendingDelayMutex);
    if (!controller.pendingDelayTask) {
        return 0;
    }
    const auto found = controller.pendingDelayTask->find(sender);
    return found == controller.pendingDelayTask->end() ? 0 : found->second;
}

// ---- test source ----

ConstantSource::ConstantSource(const std::string& stream, int channels) : _name("QTESTHOST (" + stream + ")") {
    NDIlib_send_create_t settings{};
    settings.p_ndi_name = stream.c_str();
    settings.clock_audio = false;
    settings.clock_video = false;
    auto* sender = __real_NDIlib_send_create_v2(&settings, R"({"host": "QTESTHOST"})");
    _sender = sender;
    _thread = std::thread([this, sender, channels] {
        constexpr int kSamples = 512;
        std::vector<float> block(static_cast<size_t>(channels) * kSamples);
        for (int c = 0; c < channels; ++c) {
            std::fill_n(block.begin() + c * kSamples, kSamples, level(c));
        }
        NDIlib_audio_frame_v2_t frame{};
        frame.sample_rate = 48000;
        frame.no_channels = channels;
        frame.no_samples = kSamples;
        frame.timecode = NDIlib_send_timecode_synthesize;
        frame.p_data = block.data();
        frame.channel_stride_in_bytes = kSamples * static_cast<int>(sizeof(float));
        auto next = std::chrono::steady_clock::now();
        while (!_stop) {
            __real_NDIlib_send_send_audio_v2(sender, &frame);
            next += std::chrono::microseconds(10667);
            std::this_thread::sleep_until(next);
        }
    });
}

ConstantSource::~ConstantSource() {
    _stop = true;
    _thread.join();
    __real_NDIlib_send_destroy(static_cast<NDIlib_send_instance_t>(_sender));
}
