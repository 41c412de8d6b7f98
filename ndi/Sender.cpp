#include "ndi/Sender.h"

#include "ndi/NDIRuntime.h"

#include <chrono>
#include <utility>

Sender::Sender(Sender&& other) noexcept
    : sendInstance(std::exchange(other.sendInstance, nullptr)), createSettings(other.createSettings),
      audioFrame(std::exchange(other.audioFrame, NDIlib_audio_frame_v2_t{})), buffer(std::move(other.buffer)),
      videoEnabled(other.videoEnabled), delayLine(std::move(other.delayLine)), delayTask(std::move(other.delayTask)),
      name(std::move(other.name)), delayMs(other.delayMs) {
    pointSettingsAtName();
}

Sender& Sender::operator=(Sender&& other) noexcept {
    if (this != &other) {
        release();
        sendInstance = std::exchange(other.sendInstance, nullptr);
        createSettings = other.createSettings;
        audioFrame = std::exchange(other.audioFrame, NDIlib_audio_frame_v2_t{});
        buffer = std::move(other.buffer);
        videoEnabled = other.videoEnabled;
        delayLine = std::move(other.delayLine);
        delayTask = std::move(other.delayTask);
        name = std::move(other.name);
        delayMs = other.delayMs;
        pointSettingsAtName();
    }
    return *this;
}

Sender::~Sender() {
    release();
}

void Sender::pointSettingsAtName() {
    createSettings.p_ndi_name = name.c_str();
}

void Sender::closeOutput() {
    if (sendInstance != nullptr) {
        NDIRuntime::active().calls().send_destroy(sendInstance);
        sendInstance = nullptr;
    }
}

bool Sender::delayChangeRunning() const {
    return delayTask.valid() && delayTask.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void Sender::release() {
    if (delayTask.valid()) {
        delayTask.wait();
    }
    closeOutput();
}
