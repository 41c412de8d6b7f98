#include "WireFormat.h"

#include "NDIlib.h"

#include <cstring>

namespace ndiruntime {

namespace {

MessageHeader makeHeader(MessageKind kind, uint32_t descriptorBytes, uint32_t payloadBytes) {
    return {WireFormat::magic, static_cast<uint16_t>(kind), WireFormat::version, descriptorBytes, payloadBytes};
}

} // namespace

bool WireFormat::isCompressed(uint32_t fourCC) {
    return fourCC == NDIlib_FourCC_video_type_H264 || fourCC == NDIlib_FourCC_video_type_HEVC;
}

uint64_t WireFormat::pictureBytes(uint32_t fourCC, int yres, int strideOrSize) {
    if (strideOrSize <= 0 || yres <= 0)
        return 0;
    if (isCompressed(fourCC))
        return static_cast<uint64_t>(strideOrSize);
    return static_cast<uint64_t>(strideOrSize) * static_cast<uint64_t>(yres);
}

const char* WireFormat::checkHeader(const MessageHeader& header) {
    if (header.magic != magic)
        return "not a message of this runtime";
    if (header.version != version)
        return "unknown message version";
    switch (static_cast<MessageKind>(header.kind)) {
    case MessageKind::hello:
    case MessageKind::welcome:
        if (header.descriptorBytes != sizeof(HelloDescriptor))
            return "wrong descriptor size";
        if (header.payloadBytes == 0 || header.payloadBytes > maxNameBytes)
            return "bad name size";
        return nullptr;
    case MessageKind::audio:
        if (header.descriptorBytes != sizeof(AudioDescriptor))
            return "wrong descriptor size";
        if (header.payloadBytes > static_cast<uint64_t>(maxChannels) * maxSamples * sizeof(float))
            return "audio too large";
        return nullptr;
    case MessageKind::video:
        if (header.descriptorBytes != sizeof(VideoDescriptor))
            return "wrong descriptor size";
        if (header.payloadBytes > maxPictureBytes + maxMetadataBytes)
            return "picture too large";
        return nullptr;
    }
    return "unknown message kind";
}

bool WireFormat::plausibleRate(int rateN, int rateD) {
    return rateN > 0 && rateD > 0 && int64_t{rateN} >= int64_t{rateD} * minPictureRate &&
           int64_t{rateN} <= int64_t{rateD} * maxPictureRate;
}

const char* WireFormat::checkHello(const HelloDescriptor& hello) {
    return (hello.flags & ~(wantsAudio | wantsVideo)) ? "unknown flags" : nullptr;
}

const char* WireFormat::checkAudio(const MessageHeader& header, const AudioDescriptor& audio) {
    if (audio.channels < 1 || audio.channels > maxChannels)
        return "bad channel count";
    if (audio.sampleRate < minSampleRate || audio.sampleRate > maxSampleRate)
        return "bad sample rate";
    if (audio.samples < 1 || audio.samples > maxSamples || audio.samples > audio.sampleRate)
        return "bad sample count";
    if (header.payloadBytes != static_cast<uint64_t>(audio.channels) * audio.samples * sizeof(float))
        return "audio size does not match its descriptor";
    return nullptr;
}

const char* WireFormat::checkVideo(const MessageHeader& header, const VideoDescriptor& video) {
    if (video.xres < 1 || video.xres > maxPictureSide || video.yres < 1 || video.yres > maxPictureSide)
        return "bad picture size";
    uint64_t bytes = pictureBytes(video.fourCC, video.yres, video.strideOrSize);
    if (bytes == 0 || bytes > maxPictureBytes || bytes != video.dataBytes)
        return "picture size does not match its descriptor";
    if (video.metadataBytes > maxMetadataBytes)
        return "metadata too large";
    if (static_cast<uint64_t>(video.dataBytes) + video.metadataBytes != header.payloadBytes)
        return "payload size does not match its descriptor";
    return nullptr;
}

size_t WireFormat::audioMessageBytes(int channels, int samples) {
    return sizeof(MessageHeader) + sizeof(AudioDescriptor) +
           static_cast<size_t>(channels) * static_cast<size_t>(samples) * sizeof(float);
}

void WireFormat::encodeAudio(uint8_t* out, const AudioDescriptor& audio, const float* planar,
                             size_t channelStrideFloats) {
    size_t channelBytes = static_cast<size_t>(audio.samples) * sizeof(float);
    MessageHeader header = makeHeader(MessageKind::audio, sizeof audio,
                                      static_cast<uint32_t>(channelBytes * static_cast<size_t>(audio.channels)));
    std::memcpy(out, &header, sizeof header);
    out += sizeof header;
    std::memcpy(out, &audio, sizeof audio);
    out += sizeof audio;
    for (int channel = 0; channel < audio.channels; ++channel, out += channelBytes)
        std::memcpy(out, planar + static_cast<size_t>(channel) * channelStrideFloats, channelBytes);
}

std::vector<uint8_t> WireFormat::encodeVideo(const VideoDescriptor& video, const uint8_t* data, const char* metadata) {
    MessageHeader header = makeHeader(MessageKind::video, sizeof video, video.dataBytes + video.metadataBytes);
    std::vector<uint8_t> message(sizeof header + sizeof video + header.payloadBytes);
    uint8_t* out = message.data();
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + sizeof header, &video, sizeof video);
    std::memcpy(out + sizeof header + sizeof video, data, video.dataBytes);
    if (video.metadataBytes > 0)
        std::memcpy(out + sizeof header + sizeof video + video.dataBytes, metadata, video.metadataBytes);
    return message;
}

std::vector<uint8_t> WireFormat::encodeHello(MessageKind kind, uint32_t flags, const std::string& name) {
    HelloDescriptor hello{flags, 0};
    MessageHeader header = makeHeader(kind, sizeof hello, static_cast<uint32_t>(name.size()));
    std::vector<uint8_t> message(sizeof header + sizeof hello + name.size());
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + sizeof header, &hello, sizeof hello);
    std::memcpy(message.data() + sizeof header + sizeof hello, name.data(), name.size());
    return message;
}

} // namespace ndiruntime
