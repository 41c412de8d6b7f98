#include "ndi/NDIRecvData.h"

#include "ndi/NDIRuntime.h"

#include <utility>

NDIRecvData::NDIRecvData(std::string name) : sourceName(std::move(name)) {
    createSettings.color_format = NDIRuntime::active().passThroughColourFormat();
    createSettings.bandwidth = NDIlib_recv_bandwidth_highest;
    createSettings.allow_video_fields = true;
    createSettings.p_ndi_recv_name = nullptr;
    createSettings.source_to_connect_to.p_url_address = nullptr;
    pointSettingsAtName();
}

NDIRecvData::NDIRecvData(const NDIRecvData& other)
    : receiver(other.receiver), createSettings(other.createSettings), frameSync(other.frameSync),
      sourceName(other.sourceName), active(other.active), channelCount(other.channelCount),
      openFailed(other.openFailed), resetPending(other.resetPending) {
    pointSettingsAtName();
}

NDIRecvData& NDIRecvData::operator=(const NDIRecvData& other) {
    receiver = other.receiver;
    createSettings = other.createSettings;
    frameSync = other.frameSync;
    sourceName = other.sourceName;
    active = other.active;
    channelCount = other.channelCount;
    openFailed = other.openFailed;
    resetPending = other.resetPending;
    pointSettingsAtName();
    return *this;
}

void NDIRecvData::pointSettingsAtName() {
    createSettings.source_to_connect_to.p_ndi_name = sourceName.c_str();
}
