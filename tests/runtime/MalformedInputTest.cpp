// Peers that send malformed, truncated or oversized messages are dropped with
// a log line; the receiver or sender keeps serving everyone else. Peers that
// announce large messages and stall cost only the bytes they sent.
#include "AudioPattern.h"
#include "MessageReader.h"
#include "RuntimeTestSupport.h"
#include "WireFormat.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

using namespace std::chrono_literals;
using namespace ndiruntime;

namespace {

// A blocking TCP socket on the loopback interface, closed with its owner.
class RawSocket {
public:
    explicit RawSocket(int fd = -1) : fd(fd) {}
    ~RawSocket() {
        if (fd >= 0)
            close(fd);
    }
    RawSocket(RawSocket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    RawSocket& operator=(RawSocket&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }

    static RawSocket connectTo(uint16_t port) {
        RawSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return RawSocket();
        return socket;
    }
    void send(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Reads whatever comes within the time limit; false when the peer closed.
    bool drainUntilClosed(std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        char buffer[65536];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0)
                return true;
        }
        return false;
    }
    // Reads exactly `size` bytes; empty on failure.
    std::vector<uint8_t> read(size_t size, std::chrono::milliseconds limit) const {
        std::vector<uint8_t> bytes(size);
        size_t have = 0;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (have < size && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            ssize_t got = ::recv(fd, bytes.data() + have, size - have, 0);
            if (got <= 0)
                return {};
            have += static_cast<size_t>(got);
        }
        return have == size ? bytes : std::vector<uint8_t>();
    }

    int fd;
};

std::vector<uint8_t> audioMessage(int channels, int samples) {
    std::vector<float> planar(static_cast<size_t>(channels * samples));
    AudioPattern::fill(planar.data(), channels, samples, 0);
    std::vector<uint8_t> message(WireFormat::audioMessageBytes(channels, samples));
    WireFormat::encodeAudio(message.data(), {48000, channels, samples, 0, 1, 1}, planar.data(),
                            static_cast<size_t>(samples));
    return message;
}

MessageHeader& headerOf(std::vector<uint8_t>& message) {
    return *reinterpret_cast<MessageHeader*>(message.data());
}

template <typename Descriptor> Descriptor& descriptorOf(std::vector<uint8_t>& message) {
    return *reinterpret_cast<Descriptor*>(message.data() + sizeof(MessageHeader));
}

std::vector<uint8_t> videoMessage() {
    std::vector<uint8_t> picture(16 * 4 * 8, 7);
    VideoDescriptor video{16, 8, NDIlib_FourCC_video_type_UYVY,         30, 1, 2.0f, 1, 16 * 4,
                          1,  1, static_cast<uint32_t>(picture.size()), 0};
    return WireFormat::encodeVideo(video, picture.data(), nullptr);
}

struct BadMessage {
    const char* what;
    std::vector<uint8_t> (*make)();
};

const BadMessage badMessages[] = {
    {"wrong magic",
     [] {
         auto message = audioMessage(2, 64);
         headerOf(message).magic = 0x12345678;
         return message;
     }},
    {"unknown version",
     [] {
         auto message = audioMessage(2, 64);
         headerOf(message).version = 9;
         return message;
     }},
    {"unknown kind",
     [] {
         auto message = audioMessage(2, 64);
         headerOf(message).kind = 99;
         return message;
     }},
    {"a header that claims a gigabyte",
     [] {
         auto message = audioMessage(2, 64);
         headerOf(message).payloadBytes = 1u << 30;
         return message;
     }},
    {"65 channels",
     [] {
         auto message = audioMessage(65, 16);
         return message;
     }},
    {"audio shorter than its descriptor says",
     [] {
         auto message = audioMessage(2, 64);
         descriptorOf<AudioDescriptor>(message).samples = 65;
         return message;
     }},
    {"more samples than a second",
     [] {
         auto message = audioMessage(1, 2000);
         descriptorOf<AudioDescriptor>(message).sampleRate = 1000;
         return message;
     }},
    {"a picture whose stride does not match its size",
     [] {
         auto message = videoMessage();
         descriptorOf<VideoDescriptor>(message).strideOrSize = 17 * 4;
         return message;
     }},
    {"a picture over 64 MiB",
     [] {
         auto message = videoMessage();
         headerOf(message).payloadBytes = 65u << 20;
         return message;
     }},
    {"a greeting after the greeting",
     [] {
         return WireFormat::encodeHello(MessageKind::welcome, 0, "X (y)");
     }},
    {"a frame cut off by the peer's death",
     [] {
         auto message = audioMessage(8, 512);
         message.resize(message.size() / 2);
         return message;
     }},
};

} // namespace

// A fake sender published in the registry that the receiver under test
// connects to, so that the test writes the bytes it gets.
class MalformedFromSender : public RuntimeTestSupport::IsolatedRuntime {
protected:
    void SetUp() override {
        IsolatedRuntime::SetUp();
        listener = RawSocket(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener.fd, 4), 0);
        ASSERT_EQ(::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        FILE* entry = std::fopen((directory() + "/fake.json").c_str(), "w");
        ASSERT_NE(entry, nullptr);
        std::fprintf(entry, R"json({"name": "%s", "port": %u, "pid": %d})json", name, ntohs(address.sin_port),
                     getpid());
        std::fclose(entry);
    }

    // Accepts the receiver's next connection and answers its greeting.
    RawSocket acceptAndWelcome() {
        pollfd entry{listener.fd, POLLIN, 0};
        if (::poll(&entry, 1, 5000) <= 0)
            return RawSocket();
        RawSocket peer(::accept(listener.fd, nullptr, nullptr));
        auto header = peer.read(sizeof(MessageHeader), 5s);
        if (header.empty())
            return RawSocket();
        MessageHeader hello;
        std::memcpy(&hello, header.data(), sizeof hello);
        EXPECT_EQ(hello.kind, static_cast<uint16_t>(MessageKind::hello));
        auto rest = peer.read(hello.descriptorBytes + hello.payloadBytes, 5s);
        EXPECT_EQ(std::string(rest.begin() + sizeof(HelloDescriptor), rest.end()), name);
        peer.send(WireFormat::encodeHello(MessageKind::welcome, 0, name));
        return peer;
    }

    static constexpr const char* name = "FAKE (sender)";
    RawSocket listener;
};

TEST_F(MalformedFromSender, receiverDropsTheConnectionAndRecovers) {
    NDIlib_recv_create_v3_t settings{
        {name, nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    for (const BadMessage& bad : badMessages) {
        SCOPED_TRACE(bad.what);
        RawSocket peer = acceptAndWelcome();
        ASSERT_GE(peer.fd, 0);
        peer.send(bad.make());
        if (std::string(bad.what).starts_with("a frame cut off"))
            peer = RawSocket();
        else
            EXPECT_TRUE(peer.drainUntilClosed(5s));
    }
    // The receiver is still whole: the next sender's audio arrives.
    RawSocket peer = acceptAndWelcome();
    peer.send(audioMessage(2, 64));
    NDIlib_audio_frame_v2_t audio{};
    NDIlib_frame_type_e type = NDIlib_frame_type_status_change;
    while (type == NDIlib_frame_type_status_change)
        type = NDIlib_recv_capture_v2(receiver, nullptr, &audio, nullptr, 5000);
    ASSERT_EQ(type, NDIlib_frame_type_audio);
    EXPECT_EQ(audio.no_channels, 2);
    EXPECT_EQ(audio.p_data[63], AudioPattern::value(63, 0));
    NDIlib_recv_free_audio_v2(receiver, &audio);
    NDIlib_recv_destroy(receiver);
}

// Pictures at a rate no stream has are dropped; the connection, and with it
// the source's audio and its plausible pictures, stays.
TEST_F(MalformedFromSender, picturesAtImplausibleRatesAreDroppedAndTheRestStillComes) {
    NDIlib_recv_create_v3_t settings{
        {name, nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    RawSocket peer = acceptAndWelcome();
    ASSERT_GE(peer.fd, 0);
    const std::pair<int, int> absurd[] = {{1, 3600}, {0, 1}, {1000000, 1}, {30000, 0}};
    for (const auto& [rateN, rateD] : absurd) {
        auto picture = videoMessage();
        descriptorOf<VideoDescriptor>(picture).frameRateN = rateN;
        descriptorOf<VideoDescriptor>(picture).frameRateD = rateD;
        peer.send(picture);
    }
    peer.send(videoMessage());
    peer.send(audioMessage(2, 64));

    std::vector<std::pair<int, int>> ratesReceived;
    int audioBlocks = 0;
    while (audioBlocks == 0) {
        NDIlib_video_frame_v2_t video{};
        NDIlib_audio_frame_v2_t audio{};
        const NDIlib_frame_type_e type = NDIlib_recv_capture_v2(receiver, &video, &audio, nullptr, 5000);
        if (type == NDIlib_frame_type_video) {
            ratesReceived.emplace_back(video.frame_rate_N, video.frame_rate_D);
            NDIlib_recv_free_video_v2(receiver, &video);
        } else if (type == NDIlib_frame_type_audio) {
            ++audioBlocks;
            NDIlib_recv_free_audio_v2(receiver, &audio);
        } else {
            ASSERT_EQ(type, NDIlib_frame_type_status_change);
        }
    }
    EXPECT_EQ(ratesReceived, (std::vector<std::pair<int, int>>{{30, 1}}));
    EXPECT_FALSE(peer.drainUntilClosed(200ms));
    NDIlib_recv_destroy(receiver);
}

// A sender that clocks its pictures never paces by a rate no stream has: the
// call returns at once instead of sleeping for an hour.
class SenderPictureRates : public RuntimeTestSupport::IsolatedRuntime {};

TEST_F(SenderPictureRates, implausibleRatesAreDroppedWithoutWaiting) {
    NDIlib_send_create_t settings{"Paced", nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, nullptr);
    std::vector<uint8_t> picture(16 * 2 * 8, 7);
    const auto started = std::chrono::steady_clock::now();
    for (const auto& [rateN, rateD] : {std::pair{1, 3600}, {1, 3600}, {1000000, 1}, {1000000, 1}, {0, 1}}) {
        NDIlib_video_frame_v2_t frame{};
        frame.xres = 16;
        frame.yres = 8;
        frame.FourCC = NDIlib_FourCC_video_type_UYVY;
        frame.frame_rate_N = rateN;
        frame.frame_rate_D = rateD;
        frame.p_data = picture.data();
        frame.line_stride_in_bytes = 16 * 2;
        NDIlib_send_send_video_v2(sender, &frame);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    NDIlib_send_destroy(sender);
}

class MalformedFromReceiver : public RuntimeTestSupport::IsolatedRuntime {};

TEST_F(MalformedFromReceiver, senderDropsThePeerAndKeepsSending) {
    NDIlib_send_create_t settings{"Target", nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, nullptr);
    NDIlib_find_instance_t finder = NDIlib_find_create_v3(nullptr, nullptr);
    uint32_t count = 0;
    const NDIlib_source_v2_t* sources = NDIlib_find_get_current_sources_v2(finder, &count);
    ASSERT_EQ(count, 1u);
    const std::string name = sources[0].p_ndi_name;
    const std::string url = sources[0].p_url_address;
    auto port = static_cast<uint16_t>(std::stoi(url.substr(url.find(':') + 1)));

    const std::pair<const char*, std::vector<uint8_t>> cases[] = {
        {"bytes that are no message", std::vector<uint8_t>(64, 0xAB)},
        {"a greeting for another source", WireFormat::encodeHello(MessageKind::hello, 1, "OTHER (stream)")},
        {"a greeting with unknown flags", WireFormat::encodeHello(MessageKind::hello, 0x80, name)},
        {"audio instead of a greeting", audioMessage(2, 64)},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        RawSocket peer = RawSocket::connectTo(port);
        ASSERT_GE(peer.fd, 0);
        peer.send(bytes);
        EXPECT_TRUE(peer.drainUntilClosed(5s));
    }
    {
        SCOPED_TRACE("a message after the greeting");
        RawSocket peer = RawSocket::connectTo(port);
        peer.send(WireFormat::encodeHello(MessageKind::hello, 0, name));
        peer.send(audioMessage(2, 64));
        EXPECT_TRUE(peer.drainUntilClosed(5s));
    }

    NDIlib_recv_create_v3_t receiverSettings{
        {name.c_str(), nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&receiverSettings, nullptr);
    NDIlib_audio_frame_v2_t audio{};
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, &audio, nullptr, 5000), NDIlib_frame_type_status_change);
    std::vector<float> samples(64, 0.25f);
    NDIlib_audio_frame_v2_t frame{48000, 1, 64, 0, samples.data(), 256, nullptr, 0};
    NDIlib_send_send_audio_v2(sender, &frame);
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, &audio, nullptr, 5000), NDIlib_frame_type_audio);
    EXPECT_EQ(audio.p_data[0], 0.25f);
    NDIlib_recv_free_audio_v2(receiver, &audio);
    NDIlib_recv_destroy(receiver);
    NDIlib_find_destroy(finder);
    NDIlib_send_destroy(sender);
}

namespace {

// A connected pair of local stream sockets: the test writes to `writer`, the
// reader under test reads `readerEnd`.
struct SocketPair {
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        readerEnd = RawSocket(fds[0]);
        writer = RawSocket(fds[1]);
    }
    RawSocket readerEnd;
    RawSocket writer;
};

// The largest picture message the wire allows: header, descriptor, 64 MiB of
// picture and 64 KiB of metadata.
std::vector<uint8_t> largestPictureMessage() {
    auto message = videoMessage();
    headerOf(message).payloadBytes = WireFormat::maxPictureBytes + WireFormat::maxMetadataBytes;
    message.resize(WireFormat::maxMessageBytes, 0x5A);
    return message;
}

} // namespace

// A peer that announces the largest message of a kind and then stalls costs
// about what it sent, never what it announced; once the rest arrives, the
// message is whole.
TEST(MessageReaderMemory, aStalledPeerCostsWhatItSentNotWhatItAnnounced) {
    constexpr size_t sentFirst = 64 * 1024;
    const struct {
        const char* what;
        std::vector<uint8_t> message;
    } cases[] = {
        {"the largest audio", audioMessage(WireFormat::maxChannels, WireFormat::maxSamples)},
        {"the largest picture", largestPictureMessage()},
    };
    for (const auto& [what, message] : cases) {
        SCOPED_TRACE(what);
        SocketPair pair;
        MessageReader reader;
        pair.writer.send(std::vector<uint8_t>(message.begin(), message.begin() + sentFirst));
        ASSERT_EQ(reader.poll(pair.readerEnd.fd), MessageReader::Status::needMore);
        EXPECT_LE(reader.heldBytes(), 2 * sentFirst + 4096);

        std::thread rest([&] { pair.writer.send(std::vector<uint8_t>(message.begin() + sentFirst, message.end())); });
        MessageReader::Status status = MessageReader::Status::needMore;
        while (status == MessageReader::Status::needMore) {
            pollfd entry{pair.readerEnd.fd, POLLIN, 0};
            ::poll(&entry, 1, 5000);
            status = reader.poll(pair.readerEnd.fd);
        }
        rest.join();
        ASSERT_EQ(status, MessageReader::Status::message);
        EXPECT_EQ(reader.header().payloadBytes,
                  message.size() - sizeof(MessageHeader) - reader.header().descriptorBytes);
        EXPECT_EQ(reader.payload()[reader.header().payloadBytes - 1], message.back());
        EXPECT_LE(reader.heldBytes(), 2 * message.size());
    }
}

TEST(MessageReaderMemory, beforeTheGreetingOnlyAGreetingIsRead) {
    SocketPair pair;
    MessageReader reader;
    reader.acceptOnly(MessageKind::hello);
    const auto picture = largestPictureMessage();
    pair.writer.send(std::vector<uint8_t>(picture.begin(), picture.begin() + 1024));
    ASSERT_EQ(reader.poll(pair.readerEnd.fd), MessageReader::Status::malformed);
    EXPECT_STREQ(reader.error(), "a message other than the greeting came first");
    EXPECT_LE(reader.heldBytes(), 4096u);
}
