// Records received audio into a 32-bit float WAV file (JUCE's writer), so
// that a stream can be listened to or looked at later.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace juce {
class AudioFormatWriter;
}

class WavRecorder {
public:
    WavRecorder();
    ~WavRecorder();
    WavRecorder(const WavRecorder&) = delete;
    WavRecorder& operator=(const WavRecorder&) = delete;

    // Creates or replaces the file; false when it cannot be written.
    bool open(const std::string& path, int channels, int sampleRate);
    int channels() const { return _channels; }
    int sampleRate() const { return _sampleRate; }
    // Appends planar samples; channels past the file's are left out, missing ones are silent.
    void write(const float* const* channels, int channelCount, int samples);

private:
    std::unique_ptr<juce::AudioFormatWriter> _writer;
    int _channels = 0;
    int _sampleRate = 0;
    std::vector<const float*> _pointers; // one per file channel, then a null
};
