#include "Receiver.h"

#include "CreateConfig.h"
#include "FrameSync.h"
#include "Log.h"

#include <cstring>
#include <poll.h>

namespace ndiruntime {

namespace {

constexpr size_t maxQueuedAudio = 32;
constexpr size_t maxQueuedPictures = 4;
constexpr int retryMs = 250;
constexpr int welcomeTimeoutMs = 2000;

uint32_t flagsFor(NDIlib_recv_bandwidth_e bandwidth) {
    switch (bandwidth) {
    case NDIlib_recv_bandwidth_metadata_only:
        return 0;
    case NDIlib_recv_bandwidth_audio_only:
        return WireFormat::wantsAudio;
    default:
        return WireFormat::wantsAudio | WireFormat::wantsVideo;
    }
}

} // namespace

std::unique_ptr<Receiver> Receiver::create(const NDIlib_recv_create_v3_t& settings, const char* config) {
    CreateConfig::parse(config);
    const char* name = settings.source_to_connect_to.p_ndi_name;
    if (!name || !*name || std::strlen(name) > WireFormat::maxNameBytes) {
        logLine("a receiver needs the name of a source");
        return nullptr;
    }
    std::unique_ptr<Receiver> receiver(new Receiver(name, flagsFor(settings.bandwidth)));
    if (!receiver->_wake.valid())
        return nullptr;
    receiver->_thread = std::thread([raw = receiver.get()] { raw->run(); });
    return receiver;
}

Receiver::Receiver(std::string sourceName, uint32_t flags) : _sourceName(std::move(sourceName)), _flags(flags) {}

Receiver::~Receiver() {
    _stop = true;
    _wake.signal();
    if (_thread.joinable())
        _thread.join();
}

bool Receiver::waitForStop(int milliseconds) {
    pollfd entry{_wake.fd(), POLLIN, 0};
    ::poll(&entry, 1, milliseconds);
    return _stop.load();
}

void Receiver::run() {
    while (!_stop.load()) {
        for (const RegistryEntry& entry : _registry.scan()) {
            if (entry.name != _sourceName)
                continue;
            Socket socket = connect(entry);
            if (!socket.valid())
                continue;
            {
                std::lock_guard lock(_queueMutex);
                _statusChanged = true;
            }
            _queueChanged.notify_all();
            serve(socket);
            break;
        }
        if (waitForStop(retryMs))
            break;
    }
}

Socket Receiver::connect(const RegistryEntry& entry) {
    Socket socket = Socket::connectLoopback(entry.port);
    if (!socket.valid() || !socket.setNonBlocking())
        return {};
    auto hello = WireFormat::encodeHello(MessageKind::hello, _flags, _sourceName);
    if (!socket.sendAll(hello.data(), hello.size(), welcomeTimeoutMs))
        return {};
    _reader.reset();
    _reader.acceptOnly(MessageKind::welcome);
    _implausibleRateReported = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(welcomeTimeoutMs);
    for (;;) {
        MessageReader::Status status = _reader.poll(socket.fd());
        if (status == MessageReader::Status::message) {
            const MessageHeader& header = _reader.header();
            bool welcomed =
                header.kind == static_cast<uint16_t>(MessageKind::welcome) &&
                std::string(reinterpret_cast<const char*>(_reader.payload()), header.payloadBytes) == _sourceName;
            _reader.consume();
            if (!welcomed) {
                logLine("receiver for %s: the peer on port %u did not welcome it", _sourceName.c_str(), entry.port);
                return {};
            }
            _reader.acceptAll();
            return socket;
        }
        if (status != MessageReader::Status::needMore) {
            if (status == MessageReader::Status::malformed)
                logLine("receiver for %s: malformed greeting (%s)", _sourceName.c_str(), _reader.error());
            return {};
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || _stop.load())
            return {};
        pollfd fds[2] = {{socket.fd(), POLLIN, 0}, {_wake.fd(), POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(left.count()));
    }
}

void Receiver::serve(Socket& socket) {
    while (!_stop.load()) {
        MessageReader::Status status = _reader.poll(socket.fd());
        switch (status) {
        case MessageReader::Status::message:
            if (!handle(_reader.header(), _reader.descriptor(), _reader.payload())) {
                _reader.reset();
                return;
            }
            _reader.consume();
            continue;
        case MessageReader::Status::malformed:
            logLine("receiver for %s: malformed message (%s); closing the connection", _sourceName.c_str(),
                    _reader.error());
            _reader.reset();
            return;
        case MessageReader::Status::closed:
            _reader.reset();
            return;
        case MessageReader::Status::needMore:
            break;
        }
        pollfd fds[2] = {{socket.fd(), POLLIN, 0}, {_wake.fd(), POLLIN, 0}};
        ::poll(fds, 2, -1);
    }
}

bool Receiver::handle(const MessageHeader& header, const uint8_t* descriptor, const uint8_t* payload) {
    switch (static_cast<MessageKind>(header.kind)) {
    case MessageKind::audio: {
        AudioDescriptor audio;
        std::memcpy(&audio, descriptor, sizeof audio);
        if (const char* error = WireFormat::checkAudio(header, audio)) {
            logLine("receiver for %s: malformed audio (%s); closing the connection", _sourceName.c_str(), error);
            return false;
        }
        {
            std::lock_guard lock(_sinkMutex);
            if (_sink) {
                _sink->pushAudio(audio, payload);
                return true;
            }
        }
        auto block = std::make_unique<AudioBlock>();
        block->descriptor = audio;
        block->samples.resize(static_cast<size_t>(audio.channels) * static_cast<size_t>(audio.samples));
        std::memcpy(block->samples.data(), payload, header.payloadBytes);
        {
            std::lock_guard lock(_queueMutex);
            if (_audioQueue.size() >= maxQueuedAudio)
                _audioQueue.pop_front();
            _audioQueue.emplace_back(_sequence++, std::move(block));
        }
        _queueChanged.notify_all();
        return true;
    }
    case MessageKind::video: {
        VideoDescriptor video;
        std::memcpy(&video, descriptor, sizeof video);
        if (const char* error = WireFormat::checkVideo(header, video)) {
            logLine("receiver for %s: malformed picture (%s); closing the connection", _sourceName.c_str(), error);
            return false;
        }
        // Such pictures are dropped, the source's audio still comes.
        if (!WireFormat::plausibleRate(video.frameRateN, video.frameRateD)) {
            if (!_implausibleRateReported)
                logLine("receiver for %s: pictures at %d/%d a second dropped (%d to %d are accepted)",
                        _sourceName.c_str(), video.frameRateN, video.frameRateD, WireFormat::minPictureRate,
                        WireFormat::maxPictureRate);
            _implausibleRateReported = true;
            return true;
        }
        auto picture = std::make_shared<VideoPicture>();
        picture->descriptor = video;
        picture->data.assign(payload, payload + video.dataBytes);
        picture->metadata.assign(reinterpret_cast<const char*>(payload) + video.dataBytes, video.metadataBytes);
        {
            std::lock_guard lock(_sinkMutex);
            if (_sink) {
                _sink->pushVideo(std::move(picture));
                return true;
            }
        }
        {
            std::lock_guard lock(_queueMutex);
            if (_videoQueue.size() >= maxQueuedPictures)
                _videoQueue.pop_front();
            _videoQueue.emplace_back(_sequence++, std::move(picture));
        }
        _queueChanged.notify_all();
        return true;
    }
    default:
        logLine("receiver for %s: unexpected message kind %u; closing the connection", _sourceName.c_str(),
                header.kind);
        return false;
    }
}

Receiver::Captured Receiver::capture(bool wantVideo, bool wantAudio, uint32_t timeoutMs) {
    Captured captured;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(_queueMutex);
    for (;;) {
        if (_statusChanged) {
            _statusChanged = false;
            captured.type = NDIlib_frame_type_status_change;
            return captured;
        }
        bool audioReady = wantAudio && !_audioQueue.empty();
        bool videoReady = wantVideo && !_videoQueue.empty();
        if (audioReady && (!videoReady || _audioQueue.front().first < _videoQueue.front().first)) {
            captured.type = NDIlib_frame_type_audio;
            captured.audio = std::move(_audioQueue.front().second);
            _audioQueue.pop_front();
            return captured;
        }
        if (videoReady) {
            captured.type = NDIlib_frame_type_video;
            captured.video = std::move(_videoQueue.front().second);
            _videoQueue.pop_front();
            return captured;
        }
        if (_queueChanged.wait_until(lock, deadline) == std::cv_status::timeout && !_statusChanged &&
            !(wantAudio && !_audioQueue.empty()) && !(wantVideo && !_videoQueue.empty()))
            return captured;
    }
}

float* Receiver::lendAudio(std::unique_ptr<AudioBlock> block) {
    float* data = block->samples.data();
    std::lock_guard lock(_lentMutex);
    _lentAudio[data] = std::move(block);
    return data;
}

void Receiver::giveBackAudio(const void* data) {
    std::unique_ptr<AudioBlock> block; // freed outside the lock
    std::lock_guard lock(_lentMutex);
    auto lent = _lentAudio.find(data);
    if (lent != _lentAudio.end()) {
        block = std::move(lent->second);
        _lentAudio.erase(lent);
    }
}

void Receiver::attach(FrameSync* frameSync) {
    std::lock_guard lock(_sinkMutex);
    _sink = frameSync;
    std::lock_guard queueLock(_queueMutex);
    _audioQueue.clear();
    _videoQueue.clear();
}

void Receiver::detach(FrameSync* frameSync) {
    std::lock_guard lock(_sinkMutex);
    if (_sink == frameSync)
        _sink = nullptr;
}

} // namespace ndiruntime
