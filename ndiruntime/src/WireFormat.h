// The messages exchanged between a sender and a receiver over TCP on the
// loopback interface. Every message is a fixed header, a fixed descriptor for
// its kind and a payload; numbers are in host byte order (both ends share the
// host). NDIlib.cpp describes the conversation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ndiruntime {

enum class MessageKind : uint16_t { hello = 1, welcome = 2, audio = 3, video = 4 };

struct MessageHeader {
    uint32_t magic;
    uint16_t kind;
    uint16_t version;
    uint32_t descriptorBytes;
    uint32_t payloadBytes;
};

// hello (receiver to sender): the flags and, as payload, the source name asked for.
// welcome (sender to receiver): no flags and, as payload, the sender's full name.
struct HelloDescriptor {
    uint32_t flags;
    uint32_t reserved;
};

// Payload: channels x samples 32-bit floats, channel after channel.
struct AudioDescriptor {
    int32_t sampleRate;
    int32_t channels;
    int32_t samples;
    int32_t reserved;
    int64_t timecode;
    int64_t timestamp;
};

// Payload: dataBytes of picture, then metadataBytes of metadata text (no terminator).
struct VideoDescriptor {
    int32_t xres;
    int32_t yres;
    uint32_t fourCC;
    int32_t frameRateN;
    int32_t frameRateD;
    float pictureAspectRatio;
    int32_t frameFormatType;
    int32_t strideOrSize; // line stride, or the data size of a compressed picture
    int64_t timecode;
    int64_t timestamp;
    uint32_t dataBytes;
    uint32_t metadataBytes;
};

class WireFormat {
public:
    static constexpr uint32_t magic = 0x4e565651; // "QVVN"
    static constexpr uint16_t version = 1;
    static constexpr uint32_t wantsAudio = 1;
    static constexpr uint32_t wantsVideo = 2;

    static constexpr int maxChannels = 64;
    static constexpr int minSampleRate = 1000;
    static constexpr int maxSampleRate = 384000;
    static constexpr int maxSamples = 192000; // and never more than one second
    static constexpr int maxPictureSide = 16384;
    static constexpr uint32_t maxPictureBytes = 64u << 20;
    static constexpr uint32_t maxMetadataBytes = 64u << 10;
    static constexpr uint32_t maxNameBytes = 1024;
    // Pictures a second that a stream may announce; any other rate is refused.
    static constexpr int minPictureRate = 1;
    static constexpr int maxPictureRate = 240;
    // No valid message is larger: the bound of every receive buffer.
    static constexpr size_t maxMessageBytes =
        sizeof(MessageHeader) + sizeof(VideoDescriptor) + maxPictureBytes + maxMetadataBytes;

    static bool isCompressed(uint32_t fourCC);
    // The picture bytes a descriptor stands for, 0 when its fields make no sense.
    static uint64_t pictureBytes(uint32_t fourCC, int yres, int strideOrSize);

    // Each returns null when the part is acceptable, else the reason.
    static const char* checkHeader(const MessageHeader& header);
    // True when rateN/rateD pictures a second lies within the plausible rates.
    static bool plausibleRate(int rateN, int rateD);
    static const char* checkHello(const HelloDescriptor& hello);
    static const char* checkAudio(const MessageHeader& header, const AudioDescriptor& audio);
    static const char* checkVideo(const MessageHeader& header, const VideoDescriptor& video);

    static size_t audioMessageBytes(int channels, int samples);
    // Writes a whole audio message to out, which holds audioMessageBytes; the
    // source is planar with channelStrideFloats between channel starts. No allocation.
    static void encodeAudio(uint8_t* out, const AudioDescriptor& audio, const float* planar,
                            size_t channelStrideFloats);
    static std::vector<uint8_t> encodeVideo(const VideoDescriptor& video, const uint8_t* data, const char* metadata);
    static std::vector<uint8_t> encodeHello(MessageKind kind, uint32_t flags, const std::string& name);
};

} // namespace ndiruntime
