#include "ndi/NDIRx.h"

#include "ndi/FramesContainer.h"

#include <QDebug>
#include <QString>

#include <algorithm>
#include <set>

namespace {

QString printable(const std::string& name) {
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

} // namespace

NDIRx::NDIRx(RecvDataList* recvDataList, SourceFrames* sourceFrames, SourceConnectionCounts* connectionCounts,
             SourceAudioReady* audioReady, CaptureTasks* captureTasks, NDISourceFinder* finder, Listener* listener,
             std::mutex* tablesMutex)
    : _ndiRecvDataList(recvDataList), _sourceFrames(sourceFrames), _sourceConnectionCounts(connectionCounts),
      _sourceAudioReady(audioReady), _captureTasks(captureTasks), _finder(finder), _listener(listener),
      _tablesMutex(tablesMutex) {
    _probeVideo = _listener != nullptr && _listener->isVideoEnabled();
}

NDIRx::~NDIRx() {
    _stop = true;
    waitForProbeTask();
}

void NDIRx::setFormat(int32_t newSampleRate, int32_t newBlockSize) {
    sampleRate = newSampleRate;
    blockSize = newBlockSize;
}

void NDIRx::waitForProbeTask() {
    if (_probeTask.valid()) {
        _probeTask.wait();
    }
}

void NDIRx::waitForCaptures() {
    for (BlockTask& task : *_captureTasks) {
        task.wait();
    }
}

bool NDIRx::isUsed(const NDIRecvData& slot) const {
    const auto count = _sourceConnectionCounts->find(slot.sourceName);
    if (count != _sourceConnectionCounts->end() && count->second > 0) {
        return true;
    }
    return _listener != nullptr && _listener->isSourceUsedForVideo(slot.sourceName);
}

FramesContainer* NDIRx::containerOf(const NDIRecvData& slot) const {
    const auto found = _sourceFrames->find(slot.sourceName);
    return found == _sourceFrames->end() ? nullptr : found->second.get();
}

void NDIRx::update() {
    const auto now = std::chrono::steady_clock::now();
    if (!_probeClockStarted) {
        _lastProbe = now;
        _probeClockStarted = true;
    }
    _probeDue = now - _lastProbe >= kProbeInterval;
    const bool startProbe = _probeDue && (!_probeTask.valid() || _probeTask.wait_for(std::chrono::microseconds(1)) ==
                                                                     std::future_status::ready);

    // Receivers are destroyed only once no capture task of the previous block
    // can still be using them.
    bool waited = false;
    if (_waitForCaptures) {
        waitForCaptures();
        waited = true;
    }

    // The probe list is built only when a discovery task starts (every 2 s).
    std::vector<std::pair<std::string, int32_t>> probeList;
    if (startProbe) {
        probeList.reserve(_ndiRecvDataList->size());
    }
    for (NDIRecvData& slot : *_ndiRecvDataList) {
        if (slot.frameSync != nullptr && (slot.resetPending || !isUsed(slot))) {
            if (!waited) {
                waitForCaptures();
                waited = true;
            }
            if (closeSlot(slot)) {
                slot.resetPending = false;
                continue;
            }
        }
        if (startProbe) {
            probeList.emplace_back(slot.sourceName, slot.channelCount);
        }
    }

    if (_probeDue) {
        _lastProbe = now;
    }
    if (startProbe) {
        _probeTask = std::async(std::launch::async,
                                [this, list = std::move(probeList)]() mutable { probeSources(std::move(list)); });
    }
}

void NDIRx::startCaptureTasks() {
    const size_t slotCount = _ndiRecvDataList->size();
    for (size_t k = 0; k < _captureTasks->size(); ++k) {
        const size_t from = k * kSlotsPerTask;
        const size_t to = std::min(from + kSlotsPerTask, slotCount);
        (*_captureTasks)[k].launch(*this, from, to);
    }
}

void NDIRx::captureRange(size_t from, size_t to) {
    to = std::min(to, _ndiRecvDataList->size());
    for (size_t i = from; i < to; ++i) {
        NDIRecvData& slot = (*_ndiRecvDataList)[i];
        FramesContainer* container = containerOf(slot);
        if (container == nullptr) {
            continue;
        }
        container->releaseAudio();
        if (!slot.active || !isUsed(slot)) {
            continue;
        }
        if (slot.frameSync == nullptr) {
            const bool opened = openSlot(slot);
            if (opened != !slot.openFailed) {
                if (opened) {
                    qInfo() << "Receiver opened for" << printable(slot.sourceName);
                } else {
                    qWarning() << "Receiver could not be opened for" << printable(slot.sourceName)
                               << "; retrying at later blocks";
                }
            }
            slot.openFailed = !opened;
            continue; // audio arrives from the next block on
        }
        NDIlib_audio_frame_v2_t frame = FramesContainer::emptyAudioFrame();
        _ndi.calls().framesync_capture_audio(slot.frameSync, &frame, sampleRate, 0, blockSize);
        container->audioFrame = frame;
        if (container->frameSync != slot.frameSync) {
            container->attachFrameSync(slot.frameSync);
        }
        const auto ready = _sourceAudioReady->find(slot.sourceName);
        if (ready != _sourceAudioReady->end()) {
            ready->second = true;
        }
    }
}

bool NDIRx::openSlot(NDIRecvData& slot) {
    slot.pointSettingsAtName();
    NDIlib_recv_instance_t receiver = _ndi.createReceiver(slot.createSettings);
    if (receiver == nullptr) {
        return false;
    }
    NDIlib_framesync_instance_t frameSync = _ndi.calls().framesync_create(receiver);
    if (frameSync == nullptr) {
        _ndi.calls().recv_destroy(receiver);
        return false;
    }
    slot.receiver = receiver;
    slot.frameSync = frameSync;
    return true;
}

bool NDIRx::closeSlot(NDIRecvData& slot) {
    FramesContainer* container = containerOf(slot);
    if (container != nullptr && container->frameSync != nullptr && !container->detach()) {
        return false;
    }
    if (slot.frameSync != nullptr) {
        _ndi.calls().framesync_destroy(slot.frameSync);
        slot.frameSync = nullptr;
    }
    if (slot.receiver != nullptr) {
        _ndi.calls().recv_destroy(slot.receiver);
        slot.receiver = nullptr;
    }
    return true;
}

void NDIRx::resetSlot(NDIRecvData& slot) {
    if (slot.frameSync == nullptr && slot.receiver == nullptr) {
        return;
    }
    slot.resetPending = !closeSlot(slot);
}

void NDIRx::closeAllSlots() {
    for (NDIRecvData& slot : *_ndiRecvDataList) {
        if (!closeSlot(slot)) {
            qCritical() << "Receiver of" << printable(slot.sourceName)
                        << "kept open at shutdown: its pictures are still held";
        }
    }
}

template <typename Capture>
NDIlib_frame_type_e NDIRx::captureSkippingStatusChanges(Capture capture, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    NDIlib_frame_type_e type = NDIlib_frame_type_none;
    for (int changes = 0; changes <= kMaxStatusChanges; ++changes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && changes > 0) {
            return NDIlib_frame_type_none;
        }
        type = capture(static_cast<uint32_t>(std::max<int64_t>(left.count(), 0)));
        if (type != NDIlib_frame_type_status_change || _stop) {
            return type;
        }
    }
    return NDIlib_frame_type_none;
}

void NDIRx::probeSources(std::vector<std::pair<std::string, int32_t>> probeList) {
    _finder->refresh();
    _finder->writeSources();
    const std::set<std::string>& listed = _finder->sources();
    for (const auto& [name, knownCount] : probeList) {
        if (_stop) {
            return;
        }
        if (listed.count(name) == 0) {
            _listener->channelCountChanged(name, -1);
            continue;
        }
        probeSource(name, knownCount);
    }
}

void NDIRx::probeSource(const std::string& name, int32_t knownCount) {
    NDIlib_recv_create_v3_t settings{};
    settings.source_to_connect_to.p_ndi_name = name.c_str();
    settings.source_to_connect_to.p_url_address = nullptr;
    settings.color_format = NDIlib_recv_color_format_UYVY_BGRA;
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    NDIlib_recv_instance_t receiver = _ndi.createReceiver(settings);
    if (receiver == nullptr) {
        qWarning() << "Channel probe skipped: no receiver for" << printable(name);
        return;
    }

    NDIlib_audio_frame_v3_t audio{};
    const auto audioTimeout = knownCount > 0 ? kKnownAudioTimeout : kUnknownAudioTimeout;
    const NDIlib_frame_type_e audioType = captureSkippingStatusChanges(
        [&](uint32_t ms) { return _ndi.calls().recv_capture_v3(receiver, nullptr, &audio, nullptr, ms); },
        audioTimeout);
    int32_t detected = knownCount;
    if (audioType == NDIlib_frame_type_audio) {
        const int32_t channels = audio.no_channels;
        if (channels != knownCount && channels != 0) {
            _listener->channelCountChanged(name, channels);
        }
        detected = channels;
        _ndi.calls().recv_free_audio_v3(receiver, &audio);
    } else if (knownCount > 0) {
        _listener->channelCountChanged(name, -1);
        detected = -1;
    }

    if (_probeVideo && detected < 1) {
        NDIlib_video_frame_v2_t video{};
        // A stop counts as no video.
        const NDIlib_frame_type_e videoType =
            _stop
                ? NDIlib_frame_type_none
                : captureSkippingStatusChanges(
                      [&](uint32_t ms) { return _ndi.calls().recv_capture_v2(receiver, &video, nullptr, nullptr, ms); },
                      kVideoTimeout);
        if (videoType == NDIlib_frame_type_video) {
            if (knownCount != 0) {
                _listener->channelCountChanged(name, 0);
            }
            _ndi.calls().recv_free_video_v2(receiver, &video);
        } else if (knownCount != -1) {
            _listener->channelCountChanged(name, -1);
        }
    }
    _ndi.calls().recv_destroy(receiver);
}
