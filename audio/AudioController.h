#pragma once

#include "audio/JuceMessageThread.h"
#include "audio/RoutingEvent.h"
#include "audio/RoutingTables.h"
#include "audio/VirtualAudioDevice.h"
#include "ndi/NDIRx.h"
#include "ndi/NDISourceFinder.h"
#include "ndi/NDITx.h"
#include "ndi/VideoPassthrough.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

class ChannelMappingDocument;

// The heart of the engine: owns the routing tables, the event queue, the NDI
// engines and the device that clocks them.
//
// Threads and tables (the one way to access them):
// - Only the audio thread changes the structure of a table, inside
//   processEvents(), holding _eventMutex and then _tablesMutex; per block the
//   events are applied after the routing and before the capture tasks start,
//   so no capture task ever runs while a table changes.
// - The audio thread and the capture tasks read tables without a lock.
// - Every other thread (GUI, discovery, video task, the file writer, the start
//   gate) holds _tablesMutex while it looks anything up, briefly, and never
//   changes a table's structure: public operations only queue events.
// - Lock order: _eventMutex before _tablesMutex; _pendingDelayMutex,
//   _pathMutex and _saveMutex are taken alone or innermost.
// JUCE's message thread (the first base) is made before the device manager and
// goes after it: the creating thread, the GUI thread, is JUCE's message thread.
class AudioController : private JuceMessageThread,
                        public juce::AudioDeviceManager,
                        public juce::AudioIODeviceCallback,
                        private NDIRx::Listener,
                        private NDISourceFinder::Listener {
public:
    // What the controller reports; implemented by the bridge. Each call says on
    // which thread it arrives.
    struct Listener {
        // The whole routing after a mapping file was applied. Audio thread (or
        // the thread that starts the device), with the tables locked: do not
        // call back into the controller from here.
        virtual void sendersChanged(const SenderChannelMappings& senderChannelMappings,
                                    SenderVideoSources& senderVideoSources) = 0;
        // A source appeared (channelCount -1 while unknown). Discovery thread.
        virtual void sourceAdded(const std::string& name, int channelCount) = 0;
        // A source is no longer listed. Discovery thread.
        virtual void sourceRemoved(const std::string& name) = 0;
        // A source's channel count changed (-1 none, 0 video only). Audio or
        // discovery thread.
        virtual void sourceChannelsChanged(const std::string& name, int channelCount) = 0;
        // A delay restored from a file was applied to a sender. Start-gate
        // thread or audio thread.
        virtual void senderDelayChanged(const std::string& senderName, int delayMs) = 0;

    protected:
        ~Listener() = default;
    };

    // One sender as the tables hold it, for saving and inspection.
    struct SenderState {
        std::string name;
        std::vector<ChannelMapping> mappings;
        std::string videoSource; // empty when none
        int delayMs = 0;         // a delay restored from a file and not yet applied counts
        bool hasOutput = false;  // an NDI output exists
        bool operator==(const SenderState&) const = default;
    };

    // GUI thread. Starts NDI, opens the sound device (or the software clock)
    // and returns once the initial senders exist.
    explicit AudioController(Listener* listener);
    // GUI thread. Runs on `clock` instead of opening a sound device; a test
    // may pass a clock that never ticks and drive the blocks itself.
    AudioController(Listener* listener, std::unique_ptr<VirtualAudioDevice> clock);
    // GUI thread. Writes the routing to the default file, stops the device and
    // every thread of the engine, closes NDI.
    ~AudioController() override;

    AudioController(const AudioController&) = delete;
    AudioController& operator=(const AudioController&) = delete;

    // Routing operations: GUI thread; they queue an event that the next block
    // applies, and return at once.
    // Refuses (log line) names longer than EngineLimits::kMaxNameBytes, empty
    // names and more than EngineLimits::kMaxSenderChannels channels.
    void addSender(const std::string& name, uint32_t numChannels);
    void removeSender(const std::string& name);
    void addConnection(const std::string& sourceName, uint32_t sourceChannel, const std::string& senderName,
                       uint32_t senderChannel);
    // The given source channel plays no part: the sender channel becomes unfed.
    void removeConnection(const std::string& sourceName, uint32_t sourceChannel, const std::string& senderName,
                          uint32_t senderChannel);
    void setVideoSource(const std::string& videoSourceName, const std::string& senderName);
    void clearVideoSource(const std::string& senderName);

    // GUI thread. Looks the sender up (never creates one; an unknown name is
    // ignored) and starts a task that sets its delay; the task replaces the
    // sender's previous one, which it first waits for. Delays beyond
    // EngineLimits::kMaxDelayMs either way are refused with a log line.
    void setAVDelay(const std::string& senderName, int delayMs);

    // Reads a channel-mapping file and queues the routing it describes (all
    // senders replaced). A file that cannot be read or parsed, or a missing
    // file, leaves the routing unchanged and returns false (logged); a readable
    // empty file clears all senders. GUI thread or the device-start thread.
    bool loadChannelMappings(const std::string& path);
    // Writes the current routing to `path` atomically. False, with the reason
    // in `error`, when nothing was written. Any thread but the audio thread.
    bool saveChannelMappings(const std::string& path, std::string* error = nullptr);
    // The file "Save Config" writes to. Any thread.
    std::string currentMappingsPath() const;
    void setCurrentMappingsPath(const std::string& path);
    static std::string defaultChannelMappingsPath();
    static bool channelMappingsFileExists();

    // Opens the start gate after `delay` on a thread the controller owns: sets
    // _processingStarted, then applies delays restored from a file if they are
    // still waiting. Later calls do nothing. The destructor wakes and joins the
    // thread, so the controller may go away before the gate opens.
    void openStartGateAfter(std::chrono::milliseconds delay);

    // The routing as the tables hold it, by sender name. Any thread but the
    // audio thread (takes _tablesMutex).
    std::vector<SenderState> routingSnapshot() const;

    // Always true: senders pass video through. Any thread.
    bool isVideoEnabled() override;

    // One block of the engine (audio thread): receive, route, send, video,
    // "Monitor" to the outputs (silence on every output Monitor does not fill),
    // then apply the queued events and start the next capture.
    void audioDeviceIOCallbackWithContext(const float* const* inputChannelData, int numInputChannels,
                                          float* const* outputChannelData, int numOutputChannels, int numSamples,
                                          const juce::AudioIODeviceCallbackContext& context) override;
    // Runs whenever a device starts: the start-up routing is set up here.
    void audioDeviceAboutToStart(juce::AudioIODevice* device) override;
    void audioDeviceStopped() override {}
    void audioDeviceError(const juce::String&) override {}

    // Opened by the start gate: from then on blocks receive, route and send.
    std::atomic<bool> _processingStarted{false};

private:
    friend struct AudioControllerTestAccess;

    using DelayTable = std::map<std::string, int>; // sender name -> milliseconds

    // NDIRx::Listener: audio thread or capture tasks (no lock needed there).
    bool isSourceUsedForVideo(std::string sourceName) override;
    // Discovery thread.
    void forwardSourceChannels(const std::string& name, unsigned count) override;
    void channelCountChanged(const std::string& name, int32_t count) override;
    // NDISourceFinder::Listener: discovery thread.
    void sourcesChanged(const std::set<std::string>& sources) override;
    const SenderChannelMappings& channelMappings() override;

    void openDevice(std::unique_ptr<VirtualAudioDevice> clock);
    void startClock(std::unique_ptr<VirtualAudioDevice> clock);
    void queue(RoutingEvent event);
    // Prepares a sender as addSender does; nothing when refused (logged).
    std::optional<RoutingEvent> makeSenderAdded(const std::string& name, uint32_t numChannels);
    // Queues the routing of a parsed file, replacing all senders; false (and
    // nothing queued) when a sender of it is refused.
    bool queueDocument(const ChannelMappingDocument& document);

    // Audio thread (or the device-start thread while no block runs). Applies
    // the events queued before the call; stops early, leaving the rest for
    // the next block, when a sender it must change is still busy.
    void processEvents();
    // Applies one event; false when it must wait for the next block.
    bool applyEvent(RoutingEvent& event);
    bool applySenderAdded(RoutingEvent& event);
    bool applySenderRemoved(const std::string& name);
    bool applySendersCleared();
    bool applyVideoSource(const std::string& senderName, const std::string& sourceName);
    void applySourceAdded(RoutingEvent& event);
    void applySourceRemoved(const std::string& name);
    // True when neither the video task nor a delay change is on the sender;
    // waits for the video task until `deadline` at most.
    bool senderIdle(const std::string& name, const Sender& sender, std::chrono::steady_clock::time_point deadline);
    // Keeps _sourceConnectionCounts equal to the number of sender channels fed
    // from each source.
    void countMapping(const ChannelMapping& mapping, int delta);
    void countMappings(const std::vector<ChannelMapping>& mappings, int delta);
    void clearReadyFlags();
    void playMonitor(float* const* outputs, int numOutputs, int numSamples);

    // Delays restored from a file: the waiting table is taken by exactly one of
    // the start gate and MAPPINGS_APPLIED, and applied once. It belongs to the
    // last load, so it waits while a load's events are still queued: applied
    // earlier, it would set the delays of senders that the load then replaces.
    // `loadApplied`: called for a MAPPINGS_APPLIED event.
    void runPendingDelayTask(bool loadApplied);
    // Starts a delay change on `sender`. Caller holds _tablesMutex (or is the
    // audio thread applying events).
    void startDelayChange(Sender& sender, int delayMs);

    // Writes the default file whenever the routing changed, at most once a
    // second, on its own thread.
    void saverLoop();
    void markRoutingChanged() { _routingDirty.store(true, std::memory_order_relaxed); }

    Listener* _listener; // not owned: the bridge

    // Audio is 32-bit float at the running device's rate and block size;
    // written when a device starts, read by any thread that prepares senders.
    std::atomic<int32_t> sampleRate{0};
    std::atomic<int32_t> blockSize{0};
    bool _hasAudioDevice = false; // a sound device (not the software clock) runs the blocks
    const bool _videoEnabled = true;
    bool _deviceStarted = false; // audioDeviceAboutToStart ran before (a restart writes the routing first)
    bool _ndiInitialised;        // NDI is initialised before any engine is built

    // Routing tables. See the class comment for how they are accessed.
    SenderTable _senders;
    SenderChannelMappings _senderChannelMappings;
    SenderVideoSources _senderVideoSources;
    SourceConnectionCounts _sourceConnectionCounts;
    SourceIndex _sourceIndex;
    RecvDataList _ndiRecvDataList;
    SourceFrames _sourceFrames;
    SourceAudioReady _sourceAudioReady;
    CaptureTasks _captureTasks;
    mutable std::mutex _tablesMutex;

    std::mutex _eventMutex;
    std::deque<RoutingEvent> _eventQueue;

    mutable std::mutex _pathMutex;
    std::string _currentMappingsPath;
    // The default path as the device start computed it; the saver thread uses
    // this copy, as computing the path sets application-wide names.
    std::string _defaultMappingsPath;

    mutable std::mutex _pendingDelayMutex;
    std::optional<DelayTable> pendingDelayTask; // delays of the last load, not yet applied
    int _loadsQueued = 0;                       // loads whose MAPPINGS_APPLIED is not applied yet

    // The engines hold pointers to the tables above and own none of them.
    NDIRx _ndiRx;
    NDITx _ndiTx;
    VideoPassthrough _videoPassthrough;
    NDISourceFinder _finder;

    std::unique_ptr<VirtualAudioDevice> _virtualDevice;

    std::mutex _threadsMutex; // guards _closing and the waits of the two threads below
    std::condition_variable _threadsWake;
    bool _closing = false;
    std::thread _gateThread;
    std::thread _saverThread;
    std::atomic<bool> _routingDirty{false};
    std::mutex _saveMutex; // one file write at a time
};
