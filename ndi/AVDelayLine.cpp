#include "ndi/AVDelayLine.h"

#include "audio/EngineLimits.h"
#include "ndi/AVFramesContainer.h"
#include "ndi/NDIRuntime.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <utility>

namespace {

// Picture rates above this are taken as unknown: a source's rate comes from the
// network and sizes the video ring.
constexpr double kMaxPictureRate = 240.0;
// Sample rates above this are taken as unknown when sizing the audio ring.
constexpr int32_t kMaxSampleRate = 768000;

uint64_t audioRingLength(double delay, int32_t sampleRate, int32_t samplesPerBlock) {
    if (delay <= 0.0 || sampleRate <= 0 || sampleRate > kMaxSampleRate || samplesPerBlock <= 0) {
        return 0;
    }
    return static_cast<uint64_t>(sampleRate * delay / samplesPerBlock);
}

uint64_t videoRingLength(double delay, int32_t rateN, int32_t rateD) {
    if (delay >= 0.0 || rateN <= 0 || rateD <= 0 || static_cast<double>(rateN) / rateD > kMaxPictureRate) {
        return 0;
    }
    return static_cast<uint64_t>(std::abs(rateN * delay / rateD));
}

NDIlib_audio_frame_v2_t silentSlot(int32_t sampleRate, int32_t samples, int32_t channels, float* data) {
    NDIlib_audio_frame_v2_t slot{};
    slot.sample_rate = sampleRate;
    slot.no_channels = channels;
    slot.no_samples = samples;
    slot.timecode = NDIlib_send_timecode_synthesize;
    slot.p_data = data;
    slot.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
    slot.p_metadata = nullptr;
    slot.timestamp = 0;
    return slot;
}

bool sameShape(const NDIlib_audio_frame_v2_t& a, const NDIlib_audio_frame_v2_t& b) {
    return a.no_channels == b.no_channels && a.no_samples == b.no_samples;
}

} // namespace

AVDelayLine::~AVDelayLine() {
    releaseVideo();
}

AVDelayLine::AVDelayLine(AVDelayLine&& other) noexcept {
    std::lock_guard lock(other._mutex);
    takeFrom(other);
}

AVDelayLine& AVDelayLine::operator=(AVDelayLine&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    releaseVideo();
    std::scoped_lock lock(_mutex, other._mutex);
    takeFrom(other);
    return *this;
}

void AVDelayLine::takeFrom(AVDelayLine& other) {
    _audioRing = std::move(other._audioRing);
    _videoRing = std::move(other._videoRing);
    _delay = std::exchange(other._delay, 0.0);
    _sampleRate = std::exchange(other._sampleRate, 0);
    _samplesPerBlock = std::exchange(other._samplesPerBlock, 0);
    _channelCount = std::exchange(other._channelCount, 0);
    _frameRateN = std::exchange(other._frameRateN, 0);
    _frameRateD = std::exchange(other._frameRateD, 0);
    _ringLength = std::exchange(other._ringLength, 0);
    _audioIndex = std::exchange(other._audioIndex, 0);
    _videoIndex = std::exchange(other._videoIndex, 0);
    _ready = std::exchange(other._ready, false);
    _frameSync = std::exchange(other._frameSync, nullptr);
    _videoSource = std::exchange(other._videoSource, nullptr);
    _audioBuffers = std::move(other._audioBuffers);
    _slotChannels = std::exchange(other._slotChannels, 0);
    _slotSamples = std::exchange(other._slotSamples, 0);
    _trimPictures = std::exchange(other._trimPictures, false);
}

bool AVDelayLine::setDelayMs(int32_t delayMs) {
    if (std::abs(static_cast<int64_t>(delayMs)) > EngineLimits::kMaxDelayMs) {
        qWarning() << "A/V delay of" << delayMs << "ms refused: the limit is" << EngineLimits::kMaxDelayMs << "ms";
        return false;
    }
    rebuildFor(delayMs / 1000.0);
    return true;
}

void AVDelayLine::setAudioFormat(int32_t sampleRate, int32_t samplesPerBlock, int32_t channelCount) {
    bool delayed = false;
    {
        std::lock_guard lock(_mutex);
        _sampleRate = sampleRate;
        _samplesPerBlock = samplesPerBlock;
        _channelCount = channelCount;
        delayed = _delay > 0.0;
        if (delayed) {
            _ready = false;
        }
    }
    if (delayed) {
        rebuild();
    }
}

void AVDelayLine::followAudioFormat(const NDIlib_audio_frame_v2_t& frame) {
    bool delayed = false;
    {
        std::lock_guard lock(_mutex);
        if (frame.sample_rate == _sampleRate) {
            return;
        }
        _sampleRate = frame.sample_rate;
        _samplesPerBlock = frame.no_samples;
        _channelCount = frame.no_channels;
        delayed = _delay > 0.0;
        if (delayed) {
            _ready = false;
        }
    }
    // A device that changes its sample rate is rare; the new slots are then
    // allocated here, on the audio thread.
    if (delayed) {
        rebuild();
    }
}

bool AVDelayLine::delayAudio(NDIlib_audio_frame_v2_t& frame) {
    std::lock_guard lock(_mutex);
    if (!(_delay > 0.0) || !_ready || _ringLength == 0) {
        return false;
    }
    NDIlib_audio_frame_v2_t& slot = _audioRing[_audioIndex];
    _audioIndex = (_audioIndex + 1) % _ringLength;
    if (!sameShape(slot, frame)) {
        return false;
    }
    std::swap(frame, slot);
    return true;
}

void AVDelayLine::rebuild() {
    rebuildFor(std::nullopt);
}

void AVDelayLine::rebuildFor(std::optional<double> newDelay) {
    for (;;) {
        Shape shape{};
        {
            std::lock_guard lock(_mutex);
            shape = shapeLocked();
        }
        const double delay = newDelay.value_or(shape.delay);
        const uint64_t audioLength = audioRingLength(delay, shape.sampleRate, shape.samplesPerBlock);
        const uint64_t videoLength = videoRingLength(delay, shape.rateN, shape.rateD);
        const int32_t channels = std::max(shape.channelCount, 0);
        const int32_t samples = std::max(shape.samplesPerBlock, 0);
        const bool slotsFit = shape.slotChannels == channels && shape.slotSamples == samples;

        // Slots are prepared here, outside the lock: the grown ring, the new
        // buffers, and an ownership list with room for old and new buffers.
        std::vector<NDIlib_audio_frame_v2_t> audioRing;
        std::vector<std::unique_ptr<float[]>> owned;
        size_t firstNew = 0;
        if (audioLength > shape.audioSlots || (audioLength > 0 && !slotsFit)) {
            audioRing.resize(std::max<size_t>(audioLength, shape.audioSlots));
            firstNew = slotsFit ? shape.audioSlots : 0;
            owned.reserve(shape.audioBuffers + audioRing.size() - firstNew);
            owned.resize(shape.audioBuffers);
            for (size_t i = firstNew; i < audioRing.size(); ++i) {
                owned.push_back(std::make_unique<float[]>(static_cast<size_t>(channels) * samples));
                audioRing[i] = silentSlot(shape.sampleRate, samples, channels, owned.back().get());
            }
        }
        std::vector<NDIlib_video_frame_v2_t> videoRing;
        if (videoLength > shape.videoSlots) {
            videoRing.assign(videoLength, AVFramesContainer::emptyVideoFrame());
        }

        std::vector<NDIlib_audio_frame_v2_t> oldAudioRing;
        std::vector<NDIlib_video_frame_v2_t> oldVideoRing;
        std::vector<std::unique_ptr<float[]>> oldOwned;
        {
            std::lock_guard lock(_mutex);
            if (!(shapeLocked() == shape)) {
                continue; // the format or the delay moved meanwhile: prepare again
            }
            if (!audioRing.empty()) {
                // Kept slots may hold any buffer that circulates through this
                // line, the sender's included; ownership does not move with them.
                std::copy(_audioRing.begin(), _audioRing.begin() + static_cast<std::ptrdiff_t>(firstNew),
                          audioRing.begin());
                for (size_t i = 0; i < _audioBuffers.size(); ++i) {
                    owned[i] = std::move(_audioBuffers[i]);
                }
                oldAudioRing.swap(_audioRing);
                _audioRing.swap(audioRing);
                oldOwned.swap(_audioBuffers);
                _audioBuffers.swap(owned);
                _slotChannels = channels;
                _slotSamples = samples;
            }
            if (!videoRing.empty()) {
                std::copy(_videoRing.begin(), _videoRing.end(), videoRing.begin());
                oldVideoRing.swap(_videoRing);
                _videoRing.swap(videoRing);
            }
            _delay = delay;
            _ringLength = delay > 0.0 ? audioLength : videoLength;
            _audioIndex = 0;
            _videoIndex = 0;
            _ready = _ringLength != 0;
            _trimPictures = true;
        }
        return; // the replaced vectors are freed here, outside the lock
    }
}

AVDelayLine::Shape AVDelayLine::shapeLocked() const {
    return {_delay,        _sampleRate,  _samplesPerBlock,  _channelCount,     _frameRateN,         _frameRateD,
            _slotChannels, _slotSamples, _audioRing.size(), _videoRing.size(), _audioBuffers.size()};
}

void AVDelayLine::attachVideoSource(AVFramesContainer& source) {
    {
        std::lock_guard lock(_mutex);
        if (_videoSource == &source) {
            return;
        }
    }
    releaseVideo();
    std::lock_guard lock(_mutex);
    _videoSource = &source;
}

void AVDelayLine::delayVideo(AVFramesContainer& source) {
    const int32_t rateN = source.videoFrame.frame_rate_N;
    const int32_t rateD = source.videoFrame.frame_rate_D;
    bool rateChanged = false;
    {
        std::lock_guard lock(_mutex);
        _frameSync = source.frameSync;
        if (rateN != _frameRateN || rateD != _frameRateD) {
            _frameRateN = rateN;
            _frameRateD = rateD;
            rateChanged = _delay < 0.0;
            if (rateChanged) {
                _ready = false;
            }
        }
    }
    if (rateChanged) {
        rebuild();
    }
    std::lock_guard lock(_mutex);
    if (_trimPictures) {
        // Slots past the ring length (after a shorter delay, or none) would hold
        // their pictures for good: they go back now.
        int returned = 0;
        const size_t used = _delay < 0.0 ? _ringLength : 0;
        for (size_t i = used; i < _videoRing.size(); ++i) {
            if (_videoRing[i].p_data != nullptr) {
                NDIRuntime::active().calls().framesync_free_video(_frameSync, &_videoRing[i]);
                ++returned;
            }
            _videoRing[i] = AVFramesContainer::emptyVideoFrame();
        }
        source.heldPictures.fetch_sub(returned, std::memory_order_release);
        _trimPictures = false;
    }
    if (!(_delay < 0.0) || !_ready || _ringLength == 0) {
        return;
    }
    _videoIndex = (_videoIndex + 1) % _ringLength;
    NDIlib_video_frame_v2_t& slot = _videoRing[_videoIndex];
    std::swap(source.videoFrame, slot);
    const int change = (slot.p_data != nullptr ? 1 : 0) - (source.videoFrame.p_data != nullptr ? 1 : 0);
    source.heldPictures.fetch_add(change, std::memory_order_release);
}

void AVDelayLine::releaseVideo() {
    AVFramesContainer* source = nullptr;
    {
        std::lock_guard lock(_mutex);
        source = _videoSource;
    }
    if (source == nullptr) {
        return;
    }
    std::scoped_lock lock(source->videoMutex, _mutex);
    int returned = 0;
    for (NDIlib_video_frame_v2_t& slot : _videoRing) {
        if (slot.p_data != nullptr) {
            NDIRuntime::active().calls().framesync_free_video(_frameSync, &slot);
            ++returned;
        }
        slot = AVFramesContainer::emptyVideoFrame();
    }
    source->heldPictures.fetch_sub(returned, std::memory_order_release);
    _videoSource = nullptr;
    _frameSync = nullptr;
    _videoIndex = 0;
}

double AVDelayLine::delay() {
    std::lock_guard lock(_mutex);
    return _delay;
}

uint64_t AVDelayLine::ringLength() {
    std::lock_guard lock(_mutex);
    return _ringLength;
}

bool AVDelayLine::ready() {
    std::lock_guard lock(_mutex);
    return _ready;
}

size_t AVDelayLine::audioRingSize() {
    std::lock_guard lock(_mutex);
    return _audioRing.size();
}

size_t AVDelayLine::videoRingSize() {
    std::lock_guard lock(_mutex);
    return _videoRing.size();
}

size_t AVDelayLine::heldPictures() {
    std::lock_guard lock(_mutex);
    size_t held = 0;
    for (const NDIlib_video_frame_v2_t& slot : _videoRing) {
        held += slot.p_data != nullptr ? 1 : 0;
    }
    return held;
}
