#pragma once

#include "audio/RoutingTables.h"
#include "ndi/NDIRecvData.h"
#include "ndi/NDIRuntime.h"
#include "ndi/NDISourceFinder.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The receiving half of the engine: one receiver with a frame-sync for every
// source the routing uses, one block of audio captured from each of them per
// block, and the discovery task that refreshes the finder and measures channel
// counts. Works on the controller's tables; owns none of them.
//
// Table access: capture tasks read the tables without a lock and write only
// their own slots, containers and `_sourceAudioReady` values; the controller
// never restructures a table while they run (it applies events before it starts
// them). The discovery task reads no table.
class NDIRx {
public:
    struct Listener {
        virtual ~Listener() = default;
        // Read once, at construction.
        virtual bool isVideoEnabled() { return false; }
        // Audio thread and capture tasks.
        virtual bool isSourceUsedForVideo(std::string sourceName) = 0;
        virtual void forwardSourceChannels(const std::string& name, unsigned count) = 0;
        // Discovery task thread. -1 unknown or gone, 0 video only, n audio channels.
        virtual void channelCountChanged(const std::string& name, int32_t count) = 0;
    };

    // Sources are probed for channels at most this often.
    static constexpr std::chrono::seconds kProbeInterval{2};
    // Probe waits: for a source whose channels are known, and for one whose are not.
    static constexpr std::chrono::milliseconds kKnownAudioTimeout{1000};
    static constexpr std::chrono::milliseconds kUnknownAudioTimeout{100};
    static constexpr std::chrono::milliseconds kVideoTimeout{1000};
    // A source that keeps reporting status changes ends its probe after this many.
    static constexpr int kMaxStatusChanges = 32;
    // Slots per capture task.
    static constexpr std::size_t kSlotsPerTask = 8;

    NDIRx(RecvDataList* recvDataList, SourceFrames* sourceFrames, SourceConnectionCounts* connectionCounts,
          SourceAudioReady* audioReady, CaptureTasks* captureTasks, NDISourceFinder* finder, Listener* listener,
          std::mutex* tablesMutex);
    // Stops and waits for the discovery task and the capture tasks.
    ~NDIRx();
    NDIRx(const NDIRx&) = delete;
    NDIRx& operator=(const NDIRx&) = delete;

    // Audio thread, first step of a block: waits for the previous block's capture
    // tasks, closes the receivers nobody uses and starts the discovery task when
    // due. Never waits on the network.
    void update();
    // Capture task: captures slots [from, to) (clamped to the slot count).
    void captureRange(size_t from, size_t to);
    // Audio thread: starts one capture task per element of `_captureTasks`, for
    // slots [8k, 8k + 8); replacing a handle waits for the task it held.
    void startCaptureTasks();
    // Discovery task: refreshes the finder, then measures the listed pairs of
    // source name and known channel count.
    void probeSources(std::vector<std::pair<std::string, int32_t>> probeList);
    // GUI thread at device start.
    void setFormat(int32_t newSampleRate, int32_t newBlockSize);
    // Any thread: from now on update waits for the previous block's capture tasks.
    void requestWaitForCaptures() { _waitForCaptures = true; }
    // Any thread: ends the running discovery task at its next check.
    void stop() { _stop = true; }
    // Waits for the running discovery task, if any.
    void waitForProbeTask();
    // Audio thread (or shutdown): waits for every running capture task.
    void waitForCaptures();

    // Audio thread, while no capture task runs. Returns the container's frames
    // and destroys the frame-sync, then the receiver. Returns false and changes
    // nothing while pictures of that frame-sync are still held (delay rings, the
    // video task) or the video task is using the container; callers retry later.
    bool closeSlot(NDIRecvData& slot);
    // Audio thread, while no capture task runs: closes the slot now if it can,
    // else at the first later update that can. The next capture reopens it.
    void resetSlot(NDIRecvData& slot);
    // Shutdown, after the video task finished and the delay rings gave their
    // pictures back: closes every slot.
    void closeAllSlots();
    // Creates the receiver, then the frame-sync. On a null handle the slot stays
    // closed (nothing half-open) and false is returned; a later block retries.
    // Audio thread or the capture task that owns the slot.
    bool openSlot(NDIRecvData& slot);

    int32_t sampleRate = 0;
    int32_t blockSize = 0;

private:
    bool isUsed(const NDIRecvData& slot) const;
    FramesContainer* containerOf(const NDIRecvData& slot) const;
    // One source's probe; false when stopped.
    void probeSource(const std::string& name, int32_t knownCount);
    // Repeats a capture while it reports status changes, within `timeout` on the
    // steady clock and at most kMaxStatusChanges times.
    template <typename Capture>
    NDIlib_frame_type_e captureSkippingStatusChanges(Capture capture, std::chrono::milliseconds timeout);

    RecvDataList* _ndiRecvDataList;
    SourceFrames* _sourceFrames;
    SourceConnectionCounts* _sourceConnectionCounts;
    SourceAudioReady* _sourceAudioReady;
    CaptureTasks* _captureTasks;
    bool _probeDue = false;
    std::atomic<bool> _waitForCaptures{false};
    std::atomic<bool> _stop{false};
    bool _probeVideo = false;
    std::future<void> _probeTask;
    NDISourceFinder* _finder;
    Listener* _listener;
    std::mutex* _tablesMutex;
    std::chrono::steady_clock::time_point _lastProbe{};
    bool _probeClockStarted = false;
    const NDIRuntime& _ndi = NDIRuntime::active();
};
