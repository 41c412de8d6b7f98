#include "ndi/VideoPassthrough.h"

#include "audio/EngineLimits.h"

#include <QDebug>
#include <QString>

#include <algorithm>
#include <vector>

VideoPassthrough::VideoPassthrough(SenderTable* senders, SenderVideoSources* videoSources, SourceFrames* sourceFrames,
                                   RecvDataList* recvDataList, NDIRx* rx, std::mutex* tablesMutex)
    : _senders(senders), _senderVideoSources(videoSources), _sourceFrames(sourceFrames), _ndiRecvDataList(recvDataList),
      _rx(rx), _tablesMutex(tablesMutex) {}

VideoPassthrough::~VideoPassthrough() {
    waitForVideoTask();
}

void VideoPassthrough::update() {
    if (_videoTask.valid() && _videoTask.wait_for(kVideoTaskWait) != std::future_status::ready) {
        return; // still passing pictures: no second task, try again next block
    }
    openVideoReceivers();
    _videoTask.launch<&VideoPassthrough::sendVideoFrames>(*this);
}

bool VideoPassthrough::isVideoSource(const std::string& sourceName) const {
    return std::any_of(_senderVideoSources->begin(), _senderVideoSources->end(),
                       [&](const auto& entry) { return entry.second == sourceName; });
}

void VideoPassthrough::openVideoReceivers() {
    bool capturesDone = false;
    for (NDIRecvData& slot : *_ndiRecvDataList) {
        if (!slot.active || !isVideoSource(slot.sourceName)) {
            continue;
        }
        const auto found = _sourceFrames->find(slot.sourceName);
        auto* container =
            found == _sourceFrames->end() ? nullptr : dynamic_cast<AVFramesContainer*>(found->second.get());
        if (slot.frameSync == nullptr) {
            if (!capturesDone) {
                // Slots are written only while no capture task runs.
                _rx->waitForCaptures();
                capturesDone = true;
            }
            if (!_rx->openSlot(slot)) {
                continue; // stays closed; a later block tries again
            }
        }
        if (container != nullptr && container->frameSync != slot.frameSync) {
            container->attachFrameSync(slot.frameSync);
        }
    }
}

bool VideoPassthrough::isSendingTo(const std::string& senderName) {
    std::lock_guard lock(_mutex);
    return _currentSender == senderName;
}

bool VideoPassthrough::waitUntilNotSendingTo(const std::string& senderName, std::chrono::microseconds timeout) {
    std::unique_lock lock(_mutex);
    return _senderLeft.wait_for(lock, timeout, [&] { return _currentSender != senderName; });
}

void VideoPassthrough::waitForVideoTask() {
    _videoTask.wait();
}

void VideoPassthrough::setDelay(Sender& sender, int32_t delayMs) {
    sender.delayLine.setDelayMs(delayMs);
}

void VideoPassthrough::releaseVideo(Sender& sender) {
    sender.delayLine.releaseVideo();
}

void VideoPassthrough::releaseAllVideo() {
    for (auto& [name, sender] : *_senders) {
        releaseVideo(sender);
    }
}

void VideoPassthrough::sendVideoFrames() {
    std::vector<std::string> names;
    {
        std::lock_guard lock(*_tablesMutex);
        names.reserve(_senders->size());
        for (const auto& [name, sender] : *_senders) {
            names.push_back(name);
        }
    }
    for (const std::string& name : names) {
        sendVideoFrame(name);
    }
}

void VideoPassthrough::setCurrentSender(const std::string& senderName) {
    {
        std::lock_guard lock(_mutex);
        _currentSender = senderName;
    }
    _senderLeft.notify_all();
}

void VideoPassthrough::sendVideoFrame(const std::string& senderName) {
    // The task leaves the sender (under `_mutex` alone) before it looks up the
    // next one, so a thread waiting with the tables mutex held sees it leave.
    struct Leave {
        VideoPassthrough* self;
        ~Leave() { self->setCurrentSender({}); }
    } leave{this};

    Sender* sender = nullptr;
    AVFramesContainer* container = nullptr;
    NDIlib_send_instance_t sendInstance = nullptr;
    {
        std::lock_guard lock(*_tablesMutex);
        setCurrentSender(senderName);
        const auto found = _senders->find(senderName);
        if (found == _senders->end()) {
            _implausibleRateReported.erase(senderName);
            return;
        }
        sender = &found->second;
        sendInstance = sender->sendInstance;
        const auto source = _senderVideoSources->find(senderName);
        if (source != _senderVideoSources->end()) {
            const auto frames = _sourceFrames->find(source->second);
            if (frames != _sourceFrames->end()) {
                container = dynamic_cast<AVFramesContainer*>(frames->second.get());
            }
        }
    }

    AVDelayLine& line = sender->delayLine;
    if (container == nullptr || sendInstance == nullptr) {
        line.releaseVideo(); // pictures of a source the sender no longer shows go back
        return;
    }
    line.attachVideoSource(*container);

    NDIlib_video_frame_v2_t picture{};
    NDIlib_framesync_instance_t frameSync = nullptr;
    {
        std::lock_guard lock(container->videoMutex);
        frameSync = container->frameSync;
        if (frameSync == nullptr) {
            return; // the receiver is not open yet
        }
        if (container->videoFrame.p_data != nullptr) {
            _ndi.calls().framesync_free_video(frameSync, &container->videoFrame);
        }
        _ndi.calls().framesync_capture_video(frameSync, &container->videoFrame, NDIlib_frame_format_type_progressive);
        if (container->videoFrame.timecode == 0 || container->videoFrame.p_data == nullptr ||
            !acceptsRate(senderName, container->videoFrame)) {
            return; // nothing to send; what the frame-sync gave stays in the container
        }
        line.delayVideo(*container);
        picture = container->videoFrame;
        container->videoFrame.p_data = nullptr;
        container->videoFrame.timecode = 0;
        if (picture.p_data == nullptr) {
            return; // the ring is still filling: an empty slot is never sent
        }
        // Being sent: keeps the frame-sync alive while the lock is released.
        container->heldPictures.fetch_add(1, std::memory_order_relaxed);
    }
    _ndi.calls().send_send_video_v2(sendInstance, &picture);
    std::lock_guard lock(container->videoMutex);
    _ndi.calls().framesync_free_video(frameSync, &picture);
    container->heldPictures.fetch_sub(1, std::memory_order_release);
}

bool VideoPassthrough::acceptsRate(const std::string& senderName, const NDIlib_video_frame_v2_t& picture) {
    if (plausiblePictureRate(picture.frame_rate_N, picture.frame_rate_D)) {
        _implausibleRateReported.erase(senderName);
        return true;
    }
    if (_implausibleRateReported.insert(senderName).second) {
        qWarning() << "Pictures at" << picture.frame_rate_N << "/" << picture.frame_rate_D << "a second are not sent on"
                   << QString::fromStdString(senderName) << "; rates of" << EngineLimits::kMinPictureRate << "to"
                   << EngineLimits::kMaxPictureRate << "are";
    }
    return false;
}

bool VideoPassthrough::plausiblePictureRate(int64_t rateN, int64_t rateD) {
    return rateN > 0 && rateD > 0 && rateN >= rateD * EngineLimits::kMinPictureRate &&
           rateN <= rateD * EngineLimits::kMaxPictureRate;
}
