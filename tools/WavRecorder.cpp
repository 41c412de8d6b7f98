#include "tools/WavRecorder.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>

WavRecorder::WavRecorder() = default;

WavRecorder::~WavRecorder() = default;

bool WavRecorder::open(const std::string& path, int channels, int sampleRate) {
    const juce::File file = juce::File::getCurrentWorkingDirectory().getChildFile(juce::String::fromUTF8(path.c_str()));
    if (file.exists() && !file.deleteFile())
        return false;
    auto stream = std::make_unique<juce::FileOutputStream>(file);
    if (!stream->openedOk())
        return false;
    juce::WavAudioFormat format;
    _writer.reset(format.createWriterFor(stream.get(), sampleRate, static_cast<unsigned int>(channels), 32, {}, 0));
    if (!_writer)
        return false;
    stream.release(); // the writer owns it now
    _channels = channels;
    _sampleRate = sampleRate;
    _pointers.assign(static_cast<size_t>(channels) + 1, nullptr);
    return true;
}

void WavRecorder::write(const float* const* channels, int channelCount, int samples) {
    if (!_writer || samples <= 0 || channelCount <= 0)
        return;
    const int used = std::min(channelCount, _channels);
    std::fill(_pointers.begin(), _pointers.end(), nullptr);
    std::copy(channels, channels + used, _pointers.begin());
    _writer->writeFromFloatArrays(_pointers.data(), _channels, samples);
}
