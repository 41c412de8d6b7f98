#include "audio/BlockRouter.h"

#include <algorithm>
#include <cstring>

void BlockRouter::plan(SenderTable& senders, const SenderChannelMappings& mappings, const SourceFrames& sourceFrames,
                       const SourceAudioReady& audioReady) {
    _feeds.clear();
    _routes.clear();
    _monitor = nullptr;
    for (auto& [name, sender] : senders) {
        if (name == "Monitor") {
            _monitor = &sender;
        }
        const auto senderMappings = mappings.find(name);
        if (senderMappings == mappings.end()) {
            continue;
        }
        _routes.push_back(SenderRoute{&sender, _feeds.size(), senderMappings->second.size()});
        for (const ChannelMapping& mapping : senderMappings->second) {
            Feed feed;
            feed.sourceChannel = mapping.sourceChannel;
            if (mapping.sourceChannel != ChannelMapping::kUnconnected) {
                const auto frames = sourceFrames.find(mapping.sourceName);
                const auto ready = audioReady.find(mapping.sourceName);
                if (frames != sourceFrames.end() && frames->second != nullptr && ready != audioReady.end()) {
                    feed.frames = frames->second.get();
                    feed.ready = &ready->second;
                }
            }
            _feeds.push_back(feed);
        }
    }
}

void BlockRouter::route() const {
    for (const SenderRoute& route : _routes) {
        NDIlib_audio_frame_v2_t& frame = route.sender->audioFrame;
        if (frame.p_data == nullptr || frame.no_samples <= 0) {
            continue;
        }
        // The buffer the sender holds now (its own or a delay ring's) bounds what is written.
        const std::size_t channels =
            std::min(route.feedCount, static_cast<std::size_t>(std::max(frame.no_channels, 0)));
        const std::size_t stride = static_cast<std::size_t>(frame.channel_stride_in_bytes) / sizeof(float);
        for (std::size_t k = 0; k < channels; ++k) {
            fill(frame.p_data + k * stride, frame.no_samples, _feeds[route.firstFeed + k]);
        }
    }
}

void BlockRouter::fill(float* destination, int samples, const Feed& feed) {
    const std::size_t length = static_cast<std::size_t>(samples);
    const FramesContainer* container = feed.frames;
    if (container != nullptr && container->active && *feed.ready) {
        const NDIlib_audio_frame_v2_t& source = container->audioFrame;
        if (source.p_data != nullptr && source.no_samples > 0 && source.no_channels > 0 &&
            feed.sourceChannel < static_cast<uint32_t>(source.no_channels)) {
            const std::size_t sourceStride =
                source.channel_stride_in_bytes > 0
                    ? static_cast<std::size_t>(source.channel_stride_in_bytes) / sizeof(float)
                    : static_cast<std::size_t>(source.no_samples);
            // A short frame is copied as far as it goes; the rest of the block is silent.
            const std::size_t copied = std::min(length, static_cast<std::size_t>(source.no_samples));
            std::memcpy(destination, source.p_data + feed.sourceChannel * sourceStride, copied * sizeof(float));
            std::memset(destination + copied, 0, (length - copied) * sizeof(float));
            return;
        }
    }
    std::memset(destination, 0, length * sizeof(float));
}
