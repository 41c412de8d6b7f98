#include "Sender.h"

#include "Clock.h"
#include "CreateConfig.h"
#include "Log.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ndiruntime {

namespace {

constexpr size_t audioSlots = 64;
constexpr size_t maxConnections = 64;
constexpr size_t maxQueuedPictures = 2;
// A connection that holds this much unsent data gets no new frames until it drains.
constexpr size_t connectionBacklogBytes = 4u << 20;
constexpr auto helloTimeout = std::chrono::seconds(5);
constexpr auto dropReportInterval = std::chrono::seconds(5);

} // namespace

std::unique_ptr<Sender> Sender::create(const NDIlib_send_create_t& settings, const char* config) {
    if (!settings.p_ndi_name || !*settings.p_ndi_name) {
        logLine("a sender needs a name");
        return nullptr;
    }
    CreateConfig options = CreateConfig::parse(config);
    std::string host = options.host.empty() ? Registry::hostName() : options.host;
    std::string name = host + " (" + settings.p_ndi_name + ")";
    if (name.size() > WireFormat::maxNameBytes) {
        logLine("the sender name %.64s... is too long", name.c_str());
        return nullptr;
    }
    std::unique_ptr<Sender> sender(new Sender(std::move(name), settings.clock_video, settings.clock_audio));
    if (!sender->start())
        return nullptr;
    return sender;
}

Sender::Sender(std::string name, bool clockVideo, bool clockAudio)
    : _name(std::move(name)), _clockVideo(clockVideo), _clockAudio(clockAudio), _audio(audioSlots) {}

bool Sender::start() {
    _listener = Socket::listenLoopback();
    if (!_listener.valid() || !_listener.setNonBlocking() || !_wake.valid())
        return false;
    _port = _listener.localPort();
    _thread = std::thread([this] { run(); });
    _registryFile = _registry.publish({_name, _port, ::getpid(), Registry::processStartTime(::getpid())});
    return true;
}

Sender::~Sender() {
    Registry::withdraw(_registryFile);
    _stop = true;
    _wake.signal();
    if (_thread.joinable())
        _thread.join();
}

void Sender::sendAudio(const NDIlib_audio_frame_v2_t& frame) {
    const int samples = frame.no_samples;
    const int stride = frame.no_channels > 1 ? frame.channel_stride_in_bytes : samples * 4;
    if (!frame.p_data || frame.no_channels < 1 || frame.no_channels > WireFormat::maxChannels ||
        frame.sample_rate < WireFormat::minSampleRate || frame.sample_rate > WireFormat::maxSampleRate || samples < 1 ||
        samples > WireFormat::maxSamples || samples > frame.sample_rate || stride % 4 != 0 || stride < samples * 4) {
        _droppedAudio.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (_clockAudio)
        _audioPacer.wait(frame.sample_rate, samples);
    const int64_t now = hostTime100ns();
    AudioDescriptor audio{frame.sample_rate,
                          frame.no_channels,
                          samples,
                          0,
                          frame.timecode == NDIlib_send_timecode_synthesize ? now : frame.timecode,
                          now};
    if (!_audio.push(audio, frame.p_data, static_cast<size_t>(stride / 4)))
        _droppedAudio.fetch_add(1, std::memory_order_relaxed);
    _wake.signal();
}

void Sender::sendVideo(const NDIlib_video_frame_v2_t& frame) {
    uint64_t bytes = WireFormat::pictureBytes(frame.FourCC, frame.yres, frame.line_stride_in_bytes);
    size_t metadataBytes = frame.p_metadata ? std::strlen(frame.p_metadata) : 0;
    if (!frame.p_data || frame.xres < 1 || frame.xres > WireFormat::maxPictureSide || frame.yres < 1 ||
        frame.yres > WireFormat::maxPictureSide || bytes == 0 || bytes > WireFormat::maxPictureBytes ||
        metadataBytes > WireFormat::maxMetadataBytes) {
        logLine("sender %s: dropping a picture with unusable fields", _name.c_str());
        return;
    }
    // Pacing by an absurd rate would hold the caller for hours or not at all.
    if (!WireFormat::plausibleRate(frame.frame_rate_N, frame.frame_rate_D)) {
        if (!_implausibleRateReported)
            logLine("sender %s: dropping pictures at %d/%d a second (%d to %d are accepted)", _name.c_str(),
                    frame.frame_rate_N, frame.frame_rate_D, WireFormat::minPictureRate, WireFormat::maxPictureRate);
        _implausibleRateReported = true;
        return;
    }
    _implausibleRateReported = false;
    if (_clockVideo)
        _videoPacer.wait(frame.frame_rate_N, frame.frame_rate_D);
    const int64_t now = hostTime100ns();
    VideoDescriptor video{frame.xres,
                          frame.yres,
                          static_cast<uint32_t>(frame.FourCC),
                          frame.frame_rate_N,
                          frame.frame_rate_D,
                          frame.picture_aspect_ratio,
                          static_cast<int32_t>(frame.frame_format_type),
                          frame.line_stride_in_bytes,
                          frame.timecode == NDIlib_send_timecode_synthesize ? now : frame.timecode,
                          now,
                          static_cast<uint32_t>(bytes),
                          static_cast<uint32_t>(metadataBytes)};
    auto message =
        std::make_shared<const std::vector<uint8_t>>(WireFormat::encodeVideo(video, frame.p_data, frame.p_metadata));
    {
        std::lock_guard lock(_videoMutex);
        if (_videoOut.size() >= maxQueuedPictures)
            _videoOut.pop_front();
        _videoOut.push_back(std::move(message));
    }
    _wake.signal();
}

void Sender::run() {
    std::vector<pollfd> fds;
    uint64_t reportedDrops = 0;
    std::chrono::steady_clock::time_point reportedAt;
    while (!_stop.load()) {
        fds.clear();
        fds.push_back({_wake.fd(), POLLIN, 0});
        fds.push_back({_listener.fd(), POLLIN, 0});
        for (auto& connection : _connections)
            fds.push_back(
                {connection->socket.fd(), static_cast<short>(POLLIN | (connection->pending.empty() ? 0 : POLLOUT)), 0});
        ::poll(fds.data(), fds.size(), 250);
        if (_stop.load())
            break;

        if (fds[0].revents & POLLIN)
            _wake.clear();
        auto now = std::chrono::steady_clock::now();
        if (uint64_t dropped = _droppedAudio.load(std::memory_order_relaxed);
            dropped != reportedDrops && now - reportedAt > dropReportInterval) {
            logLine("sender %s: %llu audio frames dropped so far (unusable, or sent faster than the network "
                    "thread could take them)",
                    _name.c_str(), static_cast<unsigned long long>(dropped));
            reportedDrops = dropped;
            reportedAt = now;
        }
        size_t bytes = 0;
        while (const uint8_t* data = _audio.front(bytes)) {
            bool wanted = false;
            for (auto& connection : _connections)
                wanted = wanted || (connection->greeted && (connection->flags & WireFormat::wantsAudio));
            if (wanted)
                distribute(std::make_shared<const std::vector<uint8_t>>(data, data + bytes), WireFormat::wantsAudio);
            _audio.pop();
        }
        std::deque<Message> pictures;
        {
            std::lock_guard lock(_videoMutex);
            pictures.swap(_videoOut);
        }
        for (auto& picture : pictures)
            distribute(picture, WireFormat::wantsVideo);

        // Connections accepted now are not in fds yet; they are polled from the next round on.
        const size_t polled = _connections.size();
        if (fds[1].revents & POLLIN)
            acceptConnections();

        for (size_t index = polled; index-- > 0;) {
            Connection& connection = *_connections[index];
            short events = fds[index + 2].revents;
            bool keep = !connection.broken;
            if (keep && (events & (POLLIN | POLLHUP | POLLERR)))
                keep = readFrom(connection);
            if (keep && (events & POLLOUT))
                keep = flush(connection);
            if (keep && !connection.greeted && now - connection.opened > helloTimeout) {
                logLine("sender %s: a peer said nothing; closing it", _name.c_str());
                keep = false;
            }
            if (!keep && connection.dropped > 0)
                logLine("sender %s: a slow receiver missed %llu frames", _name.c_str(),
                        static_cast<unsigned long long>(connection.dropped));
            if (!keep)
                _connections.erase(_connections.begin() + static_cast<std::ptrdiff_t>(index));
        }
    }
}

void Sender::acceptConnections() {
    for (;;) {
        Socket peer = _listener.accept();
        if (!peer.valid())
            return;
        if (_connections.size() >= maxConnections) {
            logLine("sender %s: too many connections; refusing one", _name.c_str());
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->socket = std::move(peer);
        connection->opened = std::chrono::steady_clock::now();
        // A receiver sends its greeting and nothing else.
        connection->reader.acceptOnly(MessageKind::hello);
        _connections.push_back(std::move(connection));
    }
}

void Sender::distribute(const Message& message, uint32_t wantedFlag) {
    for (auto& entry : _connections) {
        Connection& connection = *entry;
        if (connection.broken || !connection.greeted || !(connection.flags & wantedFlag))
            continue;
        if (connection.pendingBytes > connectionBacklogBytes) {
            ++connection.dropped;
            continue;
        }
        connection.pending.push_back(message);
        connection.pendingBytes += message->size();
        if (!flush(connection))
            connection.broken = true;
    }
}

bool Sender::readFrom(Connection& connection) {
    for (;;) {
        switch (connection.reader.poll(connection.socket.fd())) {
        case MessageReader::Status::needMore:
            return true;
        case MessageReader::Status::closed:
            return false;
        case MessageReader::Status::malformed:
            logLine("sender %s: malformed message from a peer (%s); closing it", _name.c_str(),
                    connection.reader.error());
            return false;
        case MessageReader::Status::message:
            break;
        }
        const MessageHeader& header = connection.reader.header();
        if (connection.greeted || header.kind != static_cast<uint16_t>(MessageKind::hello)) {
            logLine("sender %s: unexpected message from a peer; closing it", _name.c_str());
            return false;
        }
        HelloDescriptor hello;
        std::memcpy(&hello, connection.reader.descriptor(), sizeof hello);
        std::string asked(reinterpret_cast<const char*>(connection.reader.payload()), header.payloadBytes);
        connection.reader.consume();
        if (const char* error = WireFormat::checkHello(hello)) {
            logLine("sender %s: malformed greeting (%s); closing it", _name.c_str(), error);
            return false;
        }
        if (asked != _name) {
            logLine("sender %s: a peer asked for %.128s; closing it", _name.c_str(), asked.c_str());
            return false;
        }
        connection.greeted = true;
        connection.flags = hello.flags;
        auto welcome =
            std::make_shared<const std::vector<uint8_t>>(WireFormat::encodeHello(MessageKind::welcome, 0, _name));
        connection.pending.push_back(welcome);
        connection.pendingBytes += welcome->size();
        if (!flush(connection))
            return false;
    }
}

bool Sender::flush(Connection& connection) {
    while (!connection.pending.empty()) {
        const auto& message = *connection.pending.front();
        ssize_t sent = ::send(connection.socket.fd(), message.data() + connection.offset,
                              message.size() - connection.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        connection.offset += static_cast<size_t>(sent);
        if (connection.offset == message.size()) {
            connection.pendingBytes -= message.size();
            connection.pending.pop_front();
            connection.offset = 0;
        }
    }
    return true;
}

} // namespace ndiruntime
