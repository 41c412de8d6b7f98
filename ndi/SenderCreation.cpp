#include "ndi/SenderCreation.h"

#include "audio/EngineLimits.h"
#include "ndi/NDIRuntime.h"

#include <cstring>

bool SenderCreation::prepare(int32_t channelCount, int32_t sampleRate, int32_t blockSize) {
    if (channelCount < 0 || static_cast<uint32_t>(channelCount) > EngineLimits::kMaxSenderChannels || sampleRate <= 0 ||
        blockSize <= 0) {
        return false;
    }
    sender.videoEnabled = videoEnabled != nullptr ? *videoEnabled : true;
    sender.createSettings.p_groups = nullptr;
    sender.createSettings.clock_video = sender.videoEnabled;
    sender.createSettings.clock_audio = false;
    sender.name = name;
    sender.pointSettingsAtName();

    mappings.resize(static_cast<size_t>(channelCount), ChannelMapping{});

    const size_t samples = static_cast<size_t>(channelCount) * static_cast<size_t>(blockSize);
    sender.buffer = std::make_unique_for_overwrite<float[]>(samples);
    std::memset(sender.buffer.get(), 0, samples * sizeof(float));
    sender.audioFrame = NDIlib_audio_frame_v2_t{};
    sender.audioFrame.sample_rate = sampleRate;
    sender.audioFrame.no_channels = channelCount;
    sender.audioFrame.no_samples = blockSize;
    sender.audioFrame.timecode = NDIlib_send_timecode_synthesize;
    sender.audioFrame.p_data = sender.buffer.get();
    sender.audioFrame.channel_stride_in_bytes = blockSize * static_cast<int>(sizeof(float));
    sender.audioFrame.p_metadata = nullptr;
    sender.audioFrame.timestamp = 0;

    sender.delayLine.setAudioFormat(sampleRate, blockSize, channelCount);

    if (name != "Monitor") {
        sender.sendInstance = NDIRuntime::active().createSender(sender.createSettings);
    }
    return true;
}
