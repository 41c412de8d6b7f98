#pragma once

#include "audio/BlockTask.h"
#include "audio/RoutingTables.h"
#include "ndi/AVFramesContainer.h"
#include "ndi/NDIRuntime.h"
#include "ndi/NDIRx.h"
#include "ndi/Sender.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

// Passes each sender's video source through the sender, pictures unchanged and
// never copied, on one video task at a time; applies negative A/V delays with
// the senders' video rings.
//
// Table access: the video task holds the controller's tables mutex while it
// looks a sender up, and marks the sender it works on (`_currentSender`) under
// that same mutex, so a thread that holds the tables mutex, sees
// isSendingTo(name) false and changes the sender before releasing the mutex can
// never race the task on that sender.
class VideoPassthrough {
public:
    // How long the audio thread waits for the previous video task (at most
    // 10 ms). A pass lasts about one picture period, since the runtime paces
    // pictures, so any wait would cost most blocks most of their period; the
    // audio thread only looks, and a pass that ends meanwhile is followed at
    // the next block, within the pacing's own slack.
    static constexpr std::chrono::milliseconds kVideoTaskWait{0};

    VideoPassthrough(SenderTable* senders, SenderVideoSources* videoSources, SourceFrames* sourceFrames,
                     RecvDataList* recvDataList, NDIRx* rx, std::mutex* tablesMutex);
    // Waits for the video task.
    ~VideoPassthrough();
    VideoPassthrough(const VideoPassthrough&) = delete;
    VideoPassthrough& operator=(const VideoPassthrough&) = delete;

    // Audio thread, after the senders were sent: opens the video sources'
    // receivers and starts the next video task once the previous one finished.
    void update();
    // Any thread; callers that act on the answer hold the tables mutex.
    bool isSendingTo(const std::string& senderName);
    // Waits at most `timeout` for the video task to leave `senderName`; true when
    // it is not on it. Called with the tables mutex held, which keeps the task
    // from starting on that sender until the caller releases it.
    bool waitUntilNotSendingTo(const std::string& senderName, std::chrono::microseconds timeout);
    // Shutdown: waits for the video task without a time limit.
    void waitForVideoTask();
    // Delay task thread: sets the sender's A/V delay in milliseconds. Delays
    // beyond the engine's limit are refused with a log line.
    static void setDelay(Sender& sender, int32_t delayMs);
    // Audio thread (while the video task is not on the sender) or shutdown:
    // returns the sender's ring pictures to their frame-sync; the ring starts
    // empty. Call when a sender's video source changes or is cleared.
    void releaseVideo(Sender& sender);
    // Shutdown, after waitForVideoTask and before senders, frame-syncs and the
    // runtime are destroyed: releaseVideo for every sender.
    void releaseAllVideo();

    // True for rateN/rateD within EngineLimits' picture rates.
    static bool plausiblePictureRate(int64_t rateN, int64_t rateD);

private:
    void openVideoReceivers();
    bool isVideoSource(const std::string& sourceName) const;
    void sendVideoFrames();
    void sendVideoFrame(const std::string& senderName);
    // Video task, on a picture the frame-sync just gave: false for a picture at
    // an implausible rate, which a runtime pacing by it would hold the task
    // for hours or not at all; logged once a stretch for each sender.
    bool acceptsRate(const std::string& senderName, const NDIlib_video_frame_v2_t& picture);
    void setCurrentSender(const std::string& senderName);

    SenderTable* _senders;
    SenderVideoSources* _senderVideoSources;
    SourceFrames* _sourceFrames;
    RecvDataList* _ndiRecvDataList;
    BlockTask _videoTask; // one worker for every pass, so starting a pass allocates nothing
    std::mutex _mutex;    // guards `_currentSender`
    std::condition_variable _senderLeft;
    std::string _currentSender;
    NDIRx* _rx;

    // Senders whose pictures at an implausible rate were logged since their
    // last good one; the video task's alone.
    std::unordered_set<std::string> _implausibleRateReported;
    std::mutex* _tablesMutex;
    const NDIRuntime& _ndi = NDIRuntime::active();
};
