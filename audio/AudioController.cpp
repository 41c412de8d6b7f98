#include "audio/AudioController.h"

#include "audio/EngineLimits.h"
#include "ndi/AVFramesContainer.h"
#include "ndi/NDIRuntime.h"
#include "persistence/ChannelMappingDocument.h"
#include "persistence/ChannelMappingStorage.h"

#include <QDebug>

#include <algorithm>
#include <cstring>
#include <future>
#include <iostream>
#include <system_error>
#include <utility>

namespace {

const std::string kMonitor = "Monitor";
// The longest the audio thread waits for the video task to leave a sender
// before it leaves the event for the next block.
constexpr auto kSenderWait = std::chrono::milliseconds(2);
// The default file is rewritten at most this often.
constexpr auto kSaveInterval = std::chrono::seconds(1);
// SENDERS_CLEARED pauses the applying thread this long, so that receivers see
// the old senders go before the new ones appear.
constexpr auto kClearPause = std::chrono::seconds(1);
// Sources found or lost in a burst (hundreds at once) are applied over several
// blocks: past this share of a block, at least kSourceEventsPerBlock of them
// per block, the rest wait for the next block in order.
constexpr auto kSourceEventBudget = std::chrono::milliseconds(2);
constexpr size_t kSourceEventsPerBlock = 16;

bool isSourceEvent(const RoutingEvent& event) {
    return event.kind == RoutingEvent::SOURCE_ADDED || event.kind == RoutingEvent::SOURCE_REMOVED ||
           event.kind == RoutingEvent::SOURCE_CHANNELS_CHANGED;
}

bool initialiseNdi() {
    NDIRuntime::active().calls().initialize();
    return true;
}

bool feedsFromSource(const ChannelMapping& mapping) {
    return mapping.sourceChannel != ChannelMapping::kUnconnected && !mapping.sourceName.empty();
}

} // namespace

AudioController::AudioController(Listener* listener) : AudioController(listener, nullptr) {}

AudioController::AudioController(Listener* listener, std::unique_ptr<VirtualAudioDevice> clock)
    : _listener(listener), _ndiInitialised(initialiseNdi()),
      _ndiRx(&_ndiRecvDataList, &_sourceFrames, &_sourceConnectionCounts, &_sourceAudioReady, &_captureTasks, &_finder,
             this, &_tablesMutex),
      _ndiTx(&_senders, &_sourceFrames, &_sourceAudioReady, &_senderChannelMappings),
      _videoPassthrough(&_senders, &_senderVideoSources, &_sourceFrames, &_ndiRecvDataList, &_ndiRx, &_tablesMutex) {
    finderRunning = true;
    _captureTasks.reserve(8);
    openDevice(std::move(clock));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    qDebug() << "NDI source finder started";
    _saverThread = std::thread([this] { saverLoop(); });
}

AudioController::~AudioController() {
    {
        std::lock_guard lock(_threadsMutex);
        _closing = true;
    }
    _threadsWake.notify_all();
    if (_gateThread.joinable()) {
        _gateThread.join();
    }
    if (_saverThread.joinable()) {
        _saverThread.join();
    }

    // The device stops before the routing is written, and what the page
    // queued after the last block (a link made just before a signal) is
    // applied here, with no audio thread left: the file holds what the page showed.
    if (_hasAudioDevice) {
        removeAudioCallback(this);
        closeAudioDevice();
    } else if (_virtualDevice != nullptr) {
        _virtualDevice->stop();
    }
    _videoPassthrough.waitForVideoTask();
    processEvents();
    saveChannelMappings(defaultChannelMappingsPath());
    finderRunning = false;
    qInfo() << "NDI source finder stopped";

    _ndiRx.waitForCaptures();
    if (_processingStarted) {
        _ndiRx.update();
        _ndiRx.stop();
        _ndiRx.waitForProbeTask();
        _ndiTx.process();
        if (_videoEnabled) {
            _videoPassthrough.update();
        }
    }
    _ndiRx.stop();
    _ndiRx.waitForProbeTask();
    _videoPassthrough.waitForVideoTask();
    _ndiRx.waitForCaptures();
    clearReadyFlags();

    // Pictures go back to their frame-syncs, then every NDI sender closes
    // (queued ones too), before the frame-syncs, receivers and NDI itself go.
    _videoPassthrough.releaseAllVideo();
    _eventQueue.clear();
    _senders.clear();
    _senderChannelMappings.clear();
    _senderVideoSources.clear();
    _sourceFrames.clear();
    _captureTasks.clear();
    _ndiRx.closeAllSlots();
    NDIRuntime::active().calls().destroy();
}

// ---- device and block ----

void AudioController::openDevice(std::unique_ptr<VirtualAudioDevice> clock) {
    if (clock != nullptr) {
        startClock(std::move(clock));
        return;
    }
    AudioDeviceSetup setup;
    setup.outputDeviceName = {};
    setup.inputDeviceName = {};
    setup.sampleRate = 48000.0;
    setup.bufferSize = 512;
    setup.inputChannels = juce::BigInteger();
    setup.useDefaultInputChannels = true;
    setup.outputChannels = juce::BigInteger(2);
    setup.useDefaultOutputChannels = true;
    const juce::String error = initialise(0, 2, nullptr, true, {}, &setup);
    // JUCE reports success without opening anything on a machine with no usable
    // device: only an open device counts.
    if (error.isEmpty() && getCurrentAudioDevice() != nullptr) {
        _hasAudioDevice = true;
        addAudioCallback(this);
        const AudioDeviceSetup running = getAudioDeviceSetup();
        qInfo() << "Added audio callback: out dev" << running.outputDeviceName.toRawUTF8() << ",\n in dev"
                << running.inputDeviceName.toRawUTF8() << ",\n sample rate" << running.sampleRate << ",\n buffer size"
                << running.bufferSize << ",\n in ch" << running.inputChannels.toInteger() << ",\n out ch"
                << running.outputChannels.toInteger() << "\n use default input" << running.useDefaultInputChannels
                << "\n use default output" << running.useDefaultOutputChannels;
        return;
    }
    qCritical() << "Cannot init audio" << error.toRawUTF8();
    _hasAudioDevice = false;
    startClock(std::make_unique<VirtualAudioDevice>());
}

void AudioController::startClock(std::unique_ptr<VirtualAudioDevice> clock) {
    _virtualDevice = std::move(clock);
    _virtualDevice->start(this);
}

void AudioController::audioDeviceAboutToStart(juce::AudioIODevice* device) {
    qDebug() << "audioDeviceAboutToStart";
    const std::string path = defaultChannelMappingsPath();
    if (_deviceStarted) {
        // The start-up below reloads the default file: it must hold the live routing.
        saveChannelMappings(path);
    }
    _deviceStarted = true;
    sampleRate = static_cast<int32_t>(device->getCurrentSampleRate());
    blockSize = device->getCurrentBufferSizeSamples();
    {
        std::lock_guard lock(_pathMutex);
        _currentMappingsPath = path;
        _defaultMappingsPath = path;
    }

    bool loaded = false;
    if (channelMappingsFileExists()) {
        loaded = loadChannelMappings(path);
        if (!loaded) {
            // Rewriting the default path below must not lose a file we could not use.
            ChannelMappingStorage::moveAside(path);
        }
    }
    if (!loaded) {
        addSender("Zelka Sender 1", 4);
        addSender("Zelka Sender 2", 2);
        addSender("Zelka Sender 3", 6);
    }
    if (_hasAudioDevice) {
        addSender(kMonitor, 2);
    }
    processEvents();

    const auto rate = static_cast<int32_t>(device->getCurrentSampleRate());
    const int32_t samples = device->getCurrentBufferSizeSamples();
    _ndiRx.setFormat(rate, samples);
    _ndiTx.sampleRate = rate;
    _ndiTx.blockSize = samples;
    _finder.setListener(this, &_tablesMutex);

    saveChannelMappings(path);
    loadChannelMappings(path);
}

void AudioController::audioDeviceIOCallbackWithContext(const float* const*, int, float* const* outputChannelData,
                                                       int numOutputChannels, int numSamples,
                                                       const juce::AudioIODeviceCallbackContext&) {
    if (_processingStarted.load(std::memory_order_acquire)) {
        _ndiRx.update();
        _ndiTx.process();
        if (_videoEnabled) {
            _videoPassthrough.update();
        }
    }
    playMonitor(outputChannelData, numOutputChannels, numSamples);
    // The previous block's captures end before their ready flags are cleared
    // and before any table changes (they run unsynchronised on the tables).
    _ndiRx.waitForCaptures();
    clearReadyFlags();
    processEvents();
    _ndiRx.startCaptureTasks();
}

void AudioController::playMonitor(float* const* outputs, int numOutputs, int numSamples) {
    if (outputs == nullptr || numSamples <= 0) {
        return;
    }
    const Sender* monitor = _hasAudioDevice ? _ndiTx.monitor() : nullptr;
    const NDIlib_audio_frame_v2_t* frame = monitor != nullptr ? &monitor->audioFrame : nullptr;
    const int monitorChannels = frame != nullptr && frame->p_data != nullptr ? frame->no_channels : 0;
    const int copied = frame != nullptr ? std::min(numSamples, frame->no_samples) : 0;
    const int stride = frame != nullptr ? frame->channel_stride_in_bytes / static_cast<int>(sizeof(float)) : 0;
    for (int j = 0; j < numOutputs; ++j) {
        float* out = outputs[j];
        if (out == nullptr) {
            continue;
        }
        // Every output is written: what Monitor does not fill stays silent.
        std::memset(out, 0, static_cast<size_t>(numSamples) * sizeof(float));
        if (j < monitorChannels && copied > 0) {
            std::memcpy(out, frame->p_data + static_cast<ptrdiff_t>(j) * stride,
                        static_cast<size_t>(copied) * sizeof(float));
        }
    }
}

void AudioController::clearReadyFlags() {
    for (const NDIRecvData& slot : _ndiRecvDataList) {
        if (slot.active) {
            const auto ready = _sourceAudioReady.find(slot.sourceName);
            if (ready != _sourceAudioReady.end()) {
                ready->second = false;
            }
        }
    }
}

// ---- event application (audio thread) ----

void AudioController::processEvents() {
    std::lock_guard events(_eventMutex);
    if (!finderRunning || _eventQueue.empty()) {
        return;
    }
    _ndiRx.waitForCaptures();
    std::lock_guard tables(_tablesMutex);
    const size_t count = _eventQueue.size();
    const auto budgetEnd = std::chrono::steady_clock::now() + kSourceEventBudget;
    size_t applied = 0;
    size_t sourceEvents = 0;
    while (applied < count) {
        RoutingEvent& next = _eventQueue.front();
        if (isSourceEvent(next) && ++sourceEvents > kSourceEventsPerBlock &&
            std::chrono::steady_clock::now() > budgetEnd) {
            break;
        }
        if (!applyEvent(next)) {
            break;
        }
        _eventQueue.pop_front();
        ++applied;
    }
    if (applied > 0) {
        _ndiTx.planRouting();
    }
}

bool AudioController::applyEvent(RoutingEvent& event) {
    switch (event.kind) {
    case RoutingEvent::SOURCE_REMOVED:
        applySourceRemoved(event.name);
        return true;
    case RoutingEvent::SOURCE_ADDED:
        applySourceAdded(event);
        return true;
    case RoutingEvent::SENDER_REMOVED:
        return applySenderRemoved(event.name);
    case RoutingEvent::SENDER_ADDED:
        return applySenderAdded(event);
    case RoutingEvent::SOURCE_CHANNELS_CHANGED: {
        const auto index = _sourceIndex.find(event.name);
        if (index == _sourceIndex.end() || index->second.index < 0 ||
            static_cast<size_t>(index->second.index) >= _ndiRecvDataList.size()) {
            return true;
        }
        const auto count = static_cast<int32_t>(event.count);
        _ndiRecvDataList[static_cast<size_t>(index->second.index)].channelCount = count;
        if (_listener != nullptr) {
            _listener->sourceChannelsChanged(event.name, count);
        }
        return true;
    }
    case RoutingEvent::CONNECTION_SET: {
        const auto mappings = _senderChannelMappings.find(event.senderName);
        if (mappings == _senderChannelMappings.end() || event.senderChannel >= mappings->second.size()) {
            return true;
        }
        ChannelMapping& mapping = mappings->second[event.senderChannel];
        ChannelMapping next{event.sourceChannel, std::move(event.sourceName)};
        if (mapping != next) {
            countMapping(mapping, -1);
            mapping = std::move(next);
            countMapping(mapping, +1);
            markRoutingChanged();
        }
        return true;
    }
    case RoutingEvent::VIDEO_SOURCE_SET:
        if (event.senderName == kMonitor || event.sourceName.empty()) {
            return true;
        }
        return applyVideoSource(event.senderName, event.sourceName);
    case RoutingEvent::VIDEO_SOURCE_CLEARED:
        return applyVideoSource(event.senderName, {});
    case RoutingEvent::SENDERS_CLEARED:
        return applySendersCleared();
    case RoutingEvent::MAPPINGS_APPLIED:
        if (_listener != nullptr) {
            _listener->sendersChanged(_senderChannelMappings, _senderVideoSources);
        }
        runPendingDelayTask(true);
        markRoutingChanged();
        return true;
    default:
        return true;
    }
}

void AudioController::applySourceRemoved(const std::string& name) {
    std::cerr << "SOURCE_REMOVED: " << name << std::endl;
    const auto frames = _sourceFrames.find(name);
    if (frames != _sourceFrames.end()) {
        frames->second->active = false;
    }
    const auto index = _sourceIndex.find(name);
    if (index == _sourceIndex.end() || index->second.index < 0 ||
        static_cast<size_t>(index->second.index) >= _ndiRecvDataList.size()) {
        return;
    }
    NDIRecvData& slot = _ndiRecvDataList[static_cast<size_t>(index->second.index)];
    slot.channelCount = -1;
    slot.active = false;
}

void AudioController::applySourceAdded(RoutingEvent& event) {
    if (event.recvCreation == nullptr) {
        return;
    }
    RecvCreation& creation = *event.recvCreation;
    const auto index = _sourceIndex.find(creation.name);
    if (index == _sourceIndex.end()) {
        if (creation.frames == nullptr) {
            return;
        }
        _ndiRecvDataList.push_back(creation.recvData);
        _sourceFrames[creation.name] = std::move(creation.frames);
        _sourceAudioReady[creation.name] = creation.audioReady;
        _sourceIndex[creation.name] = SourceIndexEntry{true, static_cast<int64_t>(_ndiRecvDataList.size() - 1)};
    } else if (index->second.index >= 0 && static_cast<size_t>(index->second.index) < _ndiRecvDataList.size()) {
        // A returning source gets a fresh receiver: the next capture opens it.
        NDIRecvData& slot = _ndiRecvDataList[static_cast<size_t>(index->second.index)];
        if (slot.receiver != nullptr || slot.frameSync != nullptr) {
            _ndiRx.resetSlot(slot);
        }
        slot.active = true;
        index->second.present = true;
        const auto frames = _sourceFrames.find(creation.name);
        if (frames != _sourceFrames.end()) {
            frames->second->active = true;
        }
    }
    _sourceConnectionCounts.try_emplace(creation.name, 0);
    _captureTasks.resize(_ndiRecvDataList.size() / NDIRx::kSlotsPerTask + 1);
}

bool AudioController::applySenderAdded(RoutingEvent& event) {
    if (event.senderCreation == nullptr) {
        return true;
    }
    SenderCreation& creation = *event.senderCreation;
    const auto existing = _senders.find(creation.name);
    if (existing != _senders.end() &&
        !senderIdle(creation.name, existing->second, std::chrono::steady_clock::now() + kSenderWait)) {
        return false;
    }
    if (creation.name != kMonitor && creation.sender.sendInstance == nullptr) {
        creation.sender.sendInstance = NDIRuntime::active().createSender(creation.sender.createSettings);
    }
    auto mappings = _senderChannelMappings.find(creation.name);
    if (mappings != _senderChannelMappings.end()) {
        countMappings(mappings->second, -1);
        mappings->second = std::move(creation.mappings);
    } else {
        mappings = _senderChannelMappings.emplace(creation.name, std::move(creation.mappings)).first;
    }
    countMappings(mappings->second, +1);
    if (creation.videoSource.empty()) {
        _senderVideoSources.erase(creation.name);
    } else {
        _senderVideoSources[creation.name] = creation.videoSource;
    }
    if (existing != _senders.end()) {
        // The replaced record closes its own NDI output: no output outlives its record.
        existing->second = std::move(creation.sender);
    } else {
        _senders.emplace(creation.name, std::move(creation.sender));
    }
    markRoutingChanged();
    return true;
}

bool AudioController::applySenderRemoved(const std::string& name) {
    const auto sender = _senders.find(name);
    if (sender != _senders.end() && !senderIdle(name, sender->second, std::chrono::steady_clock::now() + kSenderWait)) {
        return false;
    }
    const auto mappings = _senderChannelMappings.find(name);
    if (mappings != _senderChannelMappings.end()) {
        countMappings(mappings->second, -1);
        _senderChannelMappings.erase(mappings);
    }
    _senderVideoSources.erase(name);
    if (sender != _senders.end()) {
        _senders.erase(sender);
    }
    markRoutingChanged();
    return true;
}

bool AudioController::applySendersCleared() {
    const auto deadline = std::chrono::steady_clock::now() + kSenderWait;
    for (const auto& [name, sender] : _senders) {
        if (!senderIdle(name, sender, deadline)) {
            return false;
        }
    }
    _senders.clear();
    _senderChannelMappings.clear();
    _senderVideoSources.clear();
    for (auto& entry : _sourceConnectionCounts) {
        entry.second = 0;
    }
    markRoutingChanged();
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + kClearPause);
    return true;
}

bool AudioController::applyVideoSource(const std::string& senderName, const std::string& sourceName) {
    const auto sender = _senders.find(senderName);
    if (sender == _senders.end()) {
        return true;
    }
    const auto current = _senderVideoSources.find(senderName);
    const bool unchanged = current == _senderVideoSources.end() ? sourceName.empty() : current->second == sourceName;
    if (unchanged) {
        return true;
    }
    if (!_videoPassthrough.waitUntilNotSendingTo(senderName, kSenderWait)) {
        return false;
    }
    // Pictures of the old source go back to its frame-sync before the ring takes new ones.
    _videoPassthrough.releaseVideo(sender->second);
    if (sourceName.empty()) {
        _senderVideoSources.erase(current);
    } else {
        _senderVideoSources[senderName] = sourceName;
    }
    markRoutingChanged();
    return true;
}

bool AudioController::senderIdle(const std::string& name, const Sender& sender,
                                 std::chrono::steady_clock::time_point deadline) {
    if (sender.delayChangeRunning()) {
        return false;
    }
    const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration(0));
    return _videoPassthrough.waitUntilNotSendingTo(name, std::chrono::duration_cast<std::chrono::microseconds>(left));
}

void AudioController::countMapping(const ChannelMapping& mapping, int delta) {
    if (!feedsFromSource(mapping)) {
        return;
    }
    int32_t& count = _sourceConnectionCounts[mapping.sourceName];
    count = std::max(0, count + delta);
}

void AudioController::countMappings(const std::vector<ChannelMapping>& mappings, int delta) {
    for (const ChannelMapping& mapping : mappings) {
        countMapping(mapping, delta);
    }
}

// ---- routing operations (GUI thread) ----

void AudioController::queue(RoutingEvent event) {
    std::lock_guard lock(_eventMutex);
    _eventQueue.push_back(std::move(event));
}

std::optional<RoutingEvent> AudioController::makeSenderAdded(const std::string& name, uint32_t numChannels) {
    if (name.empty() || name.size() > EngineLimits::kMaxNameBytes) {
        qWarning() << "Refused a sender whose name is empty or longer than" << EngineLimits::kMaxNameBytes << "bytes";
        return std::nullopt;
    }
    if (numChannels > EngineLimits::kMaxSenderChannels) {
        qWarning() << "Refused sender" << name.c_str() << "with" << numChannels << "channels: at most"
                   << EngineLimits::kMaxSenderChannels;
        return std::nullopt;
    }
    RoutingEvent event;
    event.kind = RoutingEvent::SENDER_ADDED;
    event.name = name;
    event.senderCreation = std::make_unique<SenderCreation>();
    SenderCreation& creation = *event.senderCreation;
    creation.name = name;
    creation.videoEnabled = &_videoEnabled;
    if (!creation.prepare(static_cast<int32_t>(numChannels), sampleRate, blockSize)) {
        qWarning() << "Cannot prepare sender" << name.c_str() << "before the audio device runs";
        return std::nullopt;
    }
    return event;
}

void AudioController::addSender(const std::string& name, uint32_t numChannels) {
    if (auto event = makeSenderAdded(name, numChannels)) {
        queue(std::move(*event));
    }
}

void AudioController::removeSender(const std::string& name) {
    RoutingEvent event;
    event.kind = RoutingEvent::SENDER_REMOVED;
    event.name = name;
    queue(std::move(event));
}

void AudioController::addConnection(const std::string& sourceName, uint32_t sourceChannel,
                                    const std::string& senderName, uint32_t senderChannel) {
    if (sourceName.size() > EngineLimits::kMaxNameBytes || senderName.size() > EngineLimits::kMaxNameBytes) {
        qWarning() << "Refused a connection with a name longer than" << EngineLimits::kMaxNameBytes << "bytes";
        return;
    }
    RoutingEvent event;
    event.kind = RoutingEvent::CONNECTION_SET;
    event.sourceName = sourceName;
    event.sourceChannel = sourceChannel;
    event.senderName = senderName;
    event.senderChannel = senderChannel;
    queue(std::move(event));
}

void AudioController::removeConnection(const std::string&, uint32_t, const std::string& senderName,
                                       uint32_t senderChannel) {
    RoutingEvent event;
    event.kind = RoutingEvent::CONNECTION_SET;
    event.sourceChannel = ChannelMapping::kUnconnected;
    event.senderName = senderName;
    event.senderChannel = senderChannel;
    queue(std::move(event));
}

void AudioController::setVideoSource(const std::string& videoSourceName, const std::string& senderName) {
    if (videoSourceName.size() > EngineLimits::kMaxNameBytes) {
        qWarning() << "Refused a video source whose name is longer than" << EngineLimits::kMaxNameBytes << "bytes";
        return;
    }
    RoutingEvent event;
    event.kind = RoutingEvent::VIDEO_SOURCE_SET;
    event.sourceName = videoSourceName;
    event.senderName = senderName;
    queue(std::move(event));
}

void AudioController::clearVideoSource(const std::string& senderName) {
    RoutingEvent event;
    event.kind = RoutingEvent::VIDEO_SOURCE_CLEARED;
    event.senderName = senderName;
    queue(std::move(event));
}

void AudioController::setAVDelay(const std::string& senderName, int delayMs) {
    if (delayMs < -EngineLimits::kMaxDelayMs || delayMs > EngineLimits::kMaxDelayMs) {
        qWarning() << "Refused A/V delay" << delayMs << "ms for" << senderName.c_str() << ": at most"
                   << EngineLimits::kMaxDelayMs << "ms either way";
        return;
    }
    std::lock_guard tables(_tablesMutex);
    const auto sender = _senders.find(senderName);
    if (sender != _senders.end()) {
        startDelayChange(sender->second, delayMs);
    }
}

void AudioController::startDelayChange(Sender& sender, int delayMs) {
    sender.delayMs = delayMs;
    markRoutingChanged();
    std::future<void> previous = std::move(sender.delayTask);
    try {
        sender.delayTask =
            std::async(std::launch::async, [target = &sender, previous = std::move(previous), delayMs]() mutable {
                if (previous.valid()) {
                    previous.wait();
                }
                VideoPassthrough::setDelay(*target, delayMs);
            });
    } catch (const std::system_error& error) {
        qCritical() << "Cannot start the delay change of" << sender.name.c_str() << ":" << error.what();
    }
}

void AudioController::runPendingDelayTask(bool loadApplied) {
    std::vector<std::pair<std::string, int>> applied;
    {
        // MAPPINGS_APPLIED runs on the audio thread with the tables locked
        // already. The gate thread locks them before it takes the waiting
        // delays, so that a save sees each delay either waiting or applied.
        std::unique_lock tables(_tablesMutex, std::defer_lock);
        if (!loadApplied) {
            tables.lock();
        }
        std::optional<DelayTable> task;
        {
            std::lock_guard lock(_pendingDelayMutex);
            if (loadApplied) {
                --_loadsQueued;
            }
            if (_loadsQueued == 0 && _processingStarted) {
                task.swap(pendingDelayTask);
            }
        }
        if (!task) {
            return;
        }
        for (const auto& [name, delayMs] : *task) {
            const auto sender = _senders.find(name);
            if (sender != _senders.end()) {
                startDelayChange(sender->second, delayMs);
                applied.emplace_back(name, delayMs);
            }
        }
    }
    if (_listener != nullptr) {
        for (const auto& [name, delayMs] : applied) {
            _listener->senderDelayChanged(name, delayMs);
        }
    }
}

void AudioController::openStartGateAfter(std::chrono::milliseconds delay) {
    std::lock_guard lock(_threadsMutex);
    if (_gateThread.joinable() || _closing) {
        return;
    }
    _gateThread = std::thread([this, delay] {
        {
            std::unique_lock wait(_threadsMutex);
            if (_threadsWake.wait_for(wait, delay, [this] { return _closing; })) {
                return;
            }
        }
        _processingStarted = true;
        runPendingDelayTask(false);
    });
}

// ---- listeners of the NDI engines ----

bool AudioController::isVideoEnabled() {
    return _videoEnabled;
}

bool AudioController::isSourceUsedForVideo(std::string sourceName) {
    return std::any_of(_senderVideoSources.begin(), _senderVideoSources.end(),
                       [&sourceName](const auto& entry) { return entry.second == sourceName; });
}

void AudioController::forwardSourceChannels(const std::string& name, unsigned count) {
    if (_listener != nullptr) {
        _listener->sourceChannelsChanged(name, static_cast<int>(count));
    }
}

void AudioController::channelCountChanged(const std::string& name, int32_t count) {
    RoutingEvent event;
    event.kind = RoutingEvent::SOURCE_CHANNELS_CHANGED;
    event.name = name;
    event.count = static_cast<uint32_t>(count);
    queue(std::move(event));
}

const SenderChannelMappings& AudioController::channelMappings() {
    return _senderChannelMappings;
}

void AudioController::sourcesChanged(const std::set<std::string>& sources) {
    std::vector<RoutingEvent> events;
    std::vector<std::string> removed;
    std::vector<std::pair<std::string, int>> added;
    {
        std::lock_guard tables(_tablesMutex);
        events.reserve(_ndiRecvDataList.size() + sources.size());
        for (auto& [name, entry] : _sourceIndex) {
            if (!sources.contains(name)) {
                removed.push_back(name);
                RoutingEvent event;
                event.kind = RoutingEvent::SOURCE_REMOVED;
                event.name = name;
                events.push_back(std::move(event));
                entry.present = false;
            }
        }
        for (const std::string& name : sources) {
            const auto index = _sourceIndex.find(name);
            if (index != _sourceIndex.end() && index->second.present) {
                continue;
            }
            RoutingEvent event;
            event.kind = RoutingEvent::SOURCE_ADDED;
            event.name = name;
            event.recvCreation = std::make_unique<RecvCreation>();
            RecvCreation& creation = *event.recvCreation;
            creation.name = name;
            creation.videoEnabled = &_videoEnabled;
            int count = -1;
            if (index != _sourceIndex.end()) {
                qDebug() << "idx: " << index->second.index << "_ndiRecvDataList size: " << _ndiRecvDataList.size();
                index->second.present = true;
                creation.reuse = true;
                if (index->second.index >= 0 && static_cast<size_t>(index->second.index) < _ndiRecvDataList.size()) {
                    count = _ndiRecvDataList[static_cast<size_t>(index->second.index)].channelCount;
                }
            } else {
                creation.recvData = NDIRecvData(name);
                if (_videoEnabled) {
                    creation.frames = std::make_unique<AVFramesContainer>();
                } else {
                    creation.frames = std::make_unique<FramesContainer>();
                }
                creation.frames->audioFrame.no_channels = 0;
            }
            if (count != 0) {
                added.emplace_back(name, count);
            }
            events.push_back(std::move(event));
        }
    }
    if (_listener != nullptr) {
        for (const std::string& name : removed) {
            _listener->sourceRemoved(name);
        }
        for (const auto& [name, count] : added) {
            _listener->sourceAdded(name, count);
        }
    }
    {
        std::lock_guard lock(_eventMutex);
        for (RoutingEvent& event : events) {
            _eventQueue.push_back(std::move(event));
        }
    }
    _ndiRx.requestWaitForCaptures();
}

// ---- channel-mapping files ----

std::string AudioController::defaultChannelMappingsPath() {
    return ChannelMappingStorage::defaultChannelMappingsPath();
}

bool AudioController::channelMappingsFileExists() {
    return ChannelMappingStorage::channelMappingsFileExists();
}

std::string AudioController::currentMappingsPath() const {
    std::lock_guard lock(_pathMutex);
    return _currentMappingsPath;
}

void AudioController::setCurrentMappingsPath(const std::string& path) {
    std::lock_guard lock(_pathMutex);
    _currentMappingsPath = path;
}

bool AudioController::loadChannelMappings(const std::string& path) {
    const ChannelMappingStorage::ReadResult read = ChannelMappingStorage::read(path);
    switch (read.status) {
    case ChannelMappingStorage::ReadResult::Status::DirectoryFailed:
        return false;
    case ChannelMappingStorage::ReadResult::Status::Missing:
        qWarning() << "Cannot load channel mappings: no file at" << path.c_str();
        return false;
    case ChannelMappingStorage::ReadResult::Status::Unreadable:
        qWarning() << "Cannot load channel mappings from" << path.c_str() << ":" << read.error.c_str();
        return false;
    case ChannelMappingStorage::ReadResult::Status::Read:
        break;
    }
    const ChannelMappingDocument::ParseResult parsed = ChannelMappingDocument::parse(read.text);
    if (!parsed.ok()) {
        qWarning() << "Cannot load channel mappings from" << path.c_str() << ":" << parsed.error.c_str();
        return false;
    }
    if (!queueDocument(parsed.document)) {
        qWarning() << "Cannot load channel mappings from" << path.c_str() << ": a sender was refused";
        return false;
    }
    qInfo() << "Loaded channel mappings from" << path.c_str();
    return true;
}

bool AudioController::queueDocument(const ChannelMappingDocument& document) {
    std::vector<RoutingEvent> batch;
    batch.reserve(document.senders.size() + 2);
    RoutingEvent clear;
    clear.kind = RoutingEvent::SENDERS_CLEARED;
    batch.push_back(std::move(clear));
    for (const ChannelMappingDocument::SenderEntry& entry : document.senders) {
        std::optional<RoutingEvent> added = makeSenderAdded(entry.name, static_cast<uint32_t>(entry.mappings.size()));
        if (!added) {
            return false;
        }
        added->senderCreation->mappings = entry.mappings;
        added->senderCreation->videoSource = entry.videoSource;
        batch.push_back(std::move(*added));
    }
    RoutingEvent applied;
    applied.kind = RoutingEvent::MAPPINGS_APPLIED;
    batch.push_back(std::move(applied));

    DelayTable delays;
    for (const ChannelMappingDocument::DelayEntry& delay : document.delays) {
        if (delay.delayMs != 0) {
            delays[delay.senderName] = delay.delayMs;
        }
    }
    {
        std::lock_guard lock(_pendingDelayMutex);
        if (!delays.empty()) {
            pendingDelayTask = std::move(delays);
        }
        ++_loadsQueued;
    }
    std::lock_guard lock(_eventMutex);
    for (RoutingEvent& event : batch) {
        _eventQueue.push_back(std::move(event));
    }
    return true;
}

std::vector<AudioController::SenderState> AudioController::routingSnapshot() const {
    std::vector<SenderState> states;
    std::lock_guard tables(_tablesMutex);
    DelayTable waiting;
    {
        std::lock_guard lock(_pendingDelayMutex);
        if (pendingDelayTask) {
            waiting = *pendingDelayTask;
        }
    }
    states.reserve(_senderChannelMappings.size());
    for (const auto& [name, mappings] : _senderChannelMappings) {
        SenderState state;
        state.name = name;
        state.mappings = mappings;
        const auto video = _senderVideoSources.find(name);
        if (video != _senderVideoSources.end()) {
            state.videoSource = video->second;
        }
        const auto sender = _senders.find(name);
        if (sender != _senders.end()) {
            state.delayMs = sender->second.delayMs;
            state.hasOutput = sender->second.sendInstance != nullptr;
        }
        // A delay restored from a file and still waiting for the start gate is
        // the sender's delay as far as a saved file is concerned.
        const auto pending = waiting.find(name);
        if (pending != waiting.end()) {
            state.delayMs = pending->second;
        }
        states.push_back(std::move(state));
    }
    return states;
}

bool AudioController::saveChannelMappings(const std::string& path, std::string* error) {
    ChannelMappingDocument document;
    for (SenderState& state : routingSnapshot()) {
        document.delays.push_back({state.name, state.delayMs});
        document.senders.push_back({std::move(state.name), std::move(state.mappings), std::move(state.videoSource)});
    }
    const std::string text = document.serialize();
    std::lock_guard lock(_saveMutex);
    std::string failure = ChannelMappingStorage::write(path, text);
    if (failure.empty()) {
        return true;
    }
    if (error != nullptr) {
        *error = std::move(failure);
    }
    return false;
}

void AudioController::saverLoop() {
    std::unique_lock lock(_threadsMutex);
    for (;;) {
        if (_threadsWake.wait_for(lock, kSaveInterval, [this] { return _closing; })) {
            return;
        }
        if (!_routingDirty.exchange(false)) {
            continue;
        }
        lock.unlock();
        std::string path;
        {
            std::lock_guard pathLock(_pathMutex);
            path = _defaultMappingsPath;
        }
        std::string error;
        if (!path.empty() && !saveChannelMappings(path, &error)) {
            qWarning() << "Cannot write the default channel mappings:" << error.c_str();
        }
        lock.lock();
    }
}
