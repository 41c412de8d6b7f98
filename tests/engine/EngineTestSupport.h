#pragma once

#include "audio/AudioController.h"
#include "audio/VirtualAudioDevice.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Shared pieces of the engine tests: an isolated environment, a clock that the
// test ticks itself, a recording listener and a window into the controller.

// Gives each test its own HOME and XDG_DATA_HOME (so the default channel-mapping
// file is never the user's), and the process one QUORVANE_NDI_DIR.
class EngineEnvironment {
public:
    EngineEnvironment();
    ~EngineEnvironment();
    EngineEnvironment(const EngineEnvironment&) = delete;
    EngineEnvironment& operator=(const EngineEnvironment&) = delete;

    const std::filesystem::path& root() const { return _root; }
    std::string defaultFile() const;
    static std::string readFile(const std::filesystem::path& path);
    static void writeFile(const std::filesystem::path& path, const std::string& text);

private:
    std::filesystem::path _root;
};

// A software clock that never ticks: the test calls the block itself.
class ManualClock : public VirtualAudioDevice {
public:
    void start(juce::AudioIODeviceCallback* callback) override { callback->audioDeviceAboutToStart(this); }
    void stop() override {}
};

// Records what the controller reports.
class RecordingListener : public AudioController::Listener {
public:
    virtual ~RecordingListener() = default;
    void sendersChanged(const SenderChannelMappings& mappings, SenderVideoSources& videoSources) override;
    void sourceAdded(const std::string& name, int channelCount) override;
    void sourceRemoved(const std::string& name) override;
    void sourceChannelsChanged(const std::string& name, int channelCount) override;
    void senderDelayChanged(const std::string& senderName, int delayMs) override;

    std::mutex mutex;
    std::vector<std::string> reports; // "kind name value", in arrival order
    int sendersChangedCount = 0;
    SenderChannelMappings lastMappings;
    SenderVideoSources lastVideoSources;
    std::function<void()> onSendersChanged; // runs inside the report (audio thread, tables locked)

    std::vector<std::string> take();
};

// Reaches into the controller for what the tests drive and inspect.
struct AudioControllerTestAccess {
    static void runBlock(AudioController& controller, float* const* outputs = nullptr, int outputCount = 0,
                         int samples = 0);
    static void sourcesChanged(AudioController& controller, const std::set<std::string>& sources);
    static void channelCountChanged(AudioController& controller, const std::string& name, int32_t count);
    static int32_t connectionCount(AudioController& controller, const std::string& source);
    static bool hasAudioDevice(const AudioController& controller) { return controller._hasAudioDevice; }
    static void setHasAudioDevice(AudioController& controller, bool value) { controller._hasAudioDevice = value; }
    static size_t queuedEvents(AudioController& controller);
    // The slot of a source: {active, channel count}; {false, -2} when none.
    static std::pair<bool, int32_t> slot(AudioController& controller, const std::string& source);
    static bool sourceActive(AudioController& controller, const std::string& source);
    static size_t captureTaskCount(AudioController& controller) { return controller._captureTasks.size(); }
    // Sender channel `channel` of the latest block (audio thread view).
    static std::vector<float> senderChannel(AudioController& controller, const std::string& sender, int channel);
    static int32_t pendingDelay(AudioController& controller, const std::string& sender);
};

// Counts of the NDI calls the engine made (the test executables wrap them).
namespace NdiCalls {
extern std::atomic<int> liveSenders; // created and not yet destroyed
extern std::atomic<int> audioSends;  // NDIlib_send_send_audio_v2 calls
extern std::atomic<int> runtimeEnds; // NDIlib_destroy calls
// Names of the calls in the order made, for the shutdown order.
std::vector<std::string> order();
void clearOrder();
} // namespace NdiCalls

// An NDI source of the test: `channels` constant channels (channel c carries
// (c + 1) / 10), sent in 512-sample blocks at real time on a thread.
class ConstantSource {
public:
    ConstantSource(const std::string& stream, int channels);
    ~ConstantSource();
    // The full NDI name, as the controller sees it.
    const std::string& name() const { return _name; }
    static float level(int channel) { return static_cast<float>(channel + 1) / 10.0f; }

private:
    std::string _name;
    void* _sender = nullptr;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};
