// Quorvane's NDI runtime: the C interface of NDIlib.h on top of the classes of
// this folder. Everything stays on this host.
//
// Registry. Each sender listens on a TCP port of 127.0.0.1 chosen by the
// system and publishes itself as one file in a directory shared by every
// process of the user: QUORVANE_NDI_DIR when set, else
// $XDG_RUNTIME_DIR/quorvane-ndi, else /tmp/quorvane-ndi-<uid> (mode 0700). The
// file, "<pid>-<n>.json", holds {"name": "HOST (stream)", "port": P, "pid": N,
// "start": T} with T the process start time from /proc, and is written under
// a hidden name and renamed into place. Destroying the sender removes it.
// Finders rescan the directory every 200 ms; an entry whose process is gone
// (or whose pid now belongs to a process started at another time) is ignored
// and its file deleted, so a killed sender vanishes within a scan.
//
// Wire format. One TCP connection per receiver and sender. Every message is a
// 16-byte header {magic "QVVN", kind u16, version u16 = 1, descriptor bytes
// u32, payload bytes u32}, a descriptor of fixed size for its kind, then the
// payload; numbers in host byte order. The receiver opens with hello
// (descriptor {flags: 1 audio, 2 video; reserved}, payload the source name it
// wants); the sender answers welcome (same descriptor, payload its own name)
// or closes the connection when the name is not its own. From then on the
// sender streams audio (descriptor {rate, channels, samples, reserved,
// timecode, timestamp}, payload channels x samples floats, channel after
// channel) and video (descriptor {xres, yres, FourCC, rate N, rate D, aspect,
// format type, line stride or compressed size, timecode, timestamp, picture
// bytes, metadata bytes}, payload the picture then the metadata text) of the
// kinds asked for. A receiver never sends after hello. A peer whose header or
// descriptor breaks a limit (64 channels, one second or 192000 samples of
// audio, 16384 x 16384 and 64 MiB of picture, 64 KiB of metadata, 1 KiB of
// name) or does not match its payload size is logged and disconnected before
// its payload is read.

#include "NDIlib.h"

#include "CreateConfig.h"
#include "Finder.h"
#include "FrameSync.h"
#include "Log.h"
#include "PictureLedger.h"
#include "Receiver.h"
#include "Sender.h"

#include <exception>
#include <utility>

using namespace ndiruntime;

namespace {

Finder* finderOf(NDIlib_find_instance_t instance) {
    return reinterpret_cast<Finder*>(instance);
}
Receiver* receiverOf(NDIlib_recv_instance_t instance) {
    return reinterpret_cast<Receiver*>(instance);
}
Sender* senderOf(NDIlib_send_instance_t instance) {
    return reinterpret_cast<Sender*>(instance);
}
FrameSync* frameSyncOf(NDIlib_framesync_instance_t instance) {
    return reinterpret_cast<FrameSync*>(instance);
}

// Runs a call of the C interface; an exception (out of memory, no thread to
// be had) is logged and turns into the fallback value.
template <typename Result, typename Body> Result guarded(const char* call, Result fallback, Body body) {
    try {
        return body();
    } catch (const std::exception& error) {
        logLine("%s failed: %s", call, error.what());
    } catch (...) {
        logLine("%s failed", call);
    }
    return fallback;
}

template <typename Body> void guarded(const char* call, Body body) {
    guarded(call, 0, [&] {
        body();
        return 0;
    });
}

void fillAudio(const AudioBlock& block, float* data, NDIlib_audio_frame_v2_t& frame) {
    frame.sample_rate = block.descriptor.sampleRate;
    frame.no_channels = block.descriptor.channels;
    frame.no_samples = block.descriptor.samples;
    frame.timecode = block.descriptor.timecode;
    frame.p_data = data;
    frame.channel_stride_in_bytes = block.descriptor.samples * static_cast<int>(sizeof(float));
    frame.p_metadata = nullptr;
    frame.timestamp = block.descriptor.timestamp;
}

void fillAudio(const AudioBlock& block, float* data, NDIlib_audio_frame_v3_t& frame) {
    frame.sample_rate = block.descriptor.sampleRate;
    frame.no_channels = block.descriptor.channels;
    frame.no_samples = block.descriptor.samples;
    frame.timecode = block.descriptor.timecode;
    frame.FourCC = NDIlib_FourCC_audio_type_FLTP;
    frame.p_data = reinterpret_cast<uint8_t*>(data);
    frame.channel_stride_in_bytes = block.descriptor.samples * static_cast<int>(sizeof(float));
    frame.p_metadata = nullptr;
    frame.timestamp = block.descriptor.timestamp;
}

template <typename AudioFrame>
NDIlib_frame_type_e capture(NDIlib_recv_instance_t instance, NDIlib_video_frame_v2_t* video, AudioFrame* audio,
                            uint32_t timeoutMs) {
    Receiver* receiver = receiverOf(instance);
    if (!receiver)
        return NDIlib_frame_type_none;
    return guarded("capturing", NDIlib_frame_type_none, [&] {
        Receiver::Captured captured = receiver->capture(video != nullptr, audio != nullptr, timeoutMs);
        if (captured.audio) {
            const AudioBlock& block = *captured.audio;
            float* data = receiver->lendAudio(std::move(captured.audio));
            fillAudio(block, data, *audio);
        } else if (captured.video) {
            PictureLedger::instance().lend(std::move(captured.video), *video);
        }
        return captured.type;
    });
}

// The standard and the advanced source lists differ only in their element.
template <typename List>
auto currentSources(const char* call, NDIlib_find_instance_t instance, uint32_t* count, List list) {
    uint32_t found = 0;
    decltype(list(std::declval<Finder&>(), found)) sources = nullptr;
    if (Finder* finder = finderOf(instance))
        sources = guarded(call, sources, [&] { return list(*finder, found); });
    if (count)
        *count = sources ? found : 0;
    return sources;
}

NDIlib_recv_instance_t createReceiver(const char* call, const NDIlib_recv_create_v3_t* settings, const char* config) {
    if (!settings)
        return nullptr;
    return guarded(call, NDIlib_recv_instance_t{}, [&] {
        return reinterpret_cast<NDIlib_recv_instance_t>(Receiver::create(*settings, config).release());
    });
}

NDIlib_send_instance_t createSender(const char* call, const NDIlib_send_create_t* settings, const char* config) {
    if (!settings)
        return nullptr;
    return guarded(call, NDIlib_send_instance_t{}, [&] {
        return reinterpret_cast<NDIlib_send_instance_t>(Sender::create(*settings, config).release());
    });
}

} // namespace

extern "C" {

bool NDIlib_initialize(void) {
    return true;
}

void NDIlib_destroy(void) {}

const char* NDIlib_version(void) {
    return "Quorvane NDI runtime 1.0.0";
}

NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t*) {
    return guarded("NDIlib_find_create_v2", NDIlib_find_instance_t{},
                   [&] { return reinterpret_cast<NDIlib_find_instance_t>(new Finder()); });
}

void NDIlib_find_destroy(NDIlib_find_instance_t p_instance) {
    delete finderOf(p_instance);
}

const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources) {
    return currentSources("NDIlib_find_get_current_sources", p_instance, p_no_sources,
                          [](Finder& finder, uint32_t& count) { return finder.currentSources(count); });
}

NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* p_create_settings) {
    return createReceiver("NDIlib_recv_create_v3", p_create_settings, nullptr);
}

NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings) {
    return createSender("NDIlib_send_create", p_create_settings, nullptr);
}

#ifndef QUORVANE_NDI_STANDARD_ONLY
NDIlib_find_instance_t NDIlib_find_create_v3(const NDIlib_find_create_t*, const char* p_config_data) {
    return guarded("NDIlib_find_create_v3", NDIlib_find_instance_t{}, [&] {
        CreateConfig::parse(p_config_data);
        return reinterpret_cast<NDIlib_find_instance_t>(new Finder());
    });
}

const NDIlib_source_v2_t* NDIlib_find_get_current_sources_v2(NDIlib_find_instance_t p_instance,
                                                             uint32_t* p_no_sources) {
    return currentSources("NDIlib_find_get_current_sources_v2", p_instance, p_no_sources,
                          [](Finder& finder, uint32_t& count) { return finder.currentSourcesV2(count); });
}

NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* p_create_settings,
                                             const char* p_config_data) {
    return createReceiver("NDIlib_recv_create_v4", p_create_settings, p_config_data);
}

NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings, const char* p_config_data) {
    return createSender("NDIlib_send_create_v2", p_create_settings, p_config_data);
}
#endif

void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance) {
    delete receiverOf(p_instance);
}

NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                           NDIlib_audio_frame_v2_t* p_audio_data, NDIlib_metadata_frame_t*,
                                           uint32_t timeout_in_ms) {
    return capture(p_instance, p_video_data, p_audio_data, timeout_in_ms);
}

NDIlib_frame_type_e NDIlib_recv_capture_v3(NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                           NDIlib_audio_frame_v3_t* p_audio_data, NDIlib_metadata_frame_t*,
                                           uint32_t timeout_in_ms) {
    return capture(p_instance, p_video_data, p_audio_data, timeout_in_ms);
}

void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data) {
    if (p_instance && p_video_data)
        PictureLedger::instance().giveBack(p_video_data->p_data);
}

void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data) {
    if (p_instance && p_audio_data)
        receiverOf(p_instance)->giveBackAudio(p_audio_data->p_data);
}

void NDIlib_recv_free_audio_v3(NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v3_t* p_audio_data) {
    if (p_instance && p_audio_data)
        receiverOf(p_instance)->giveBackAudio(p_audio_data->p_data);
}

// No metadata frames are ever handed out, so there is nothing to give back.
void NDIlib_recv_free_metadata(NDIlib_recv_instance_t, const NDIlib_metadata_frame_t*) {}

NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p_receiver) {
    Receiver* receiver = receiverOf(p_receiver);
    if (!receiver)
        return nullptr;
    return guarded("NDIlib_framesync_create", NDIlib_framesync_instance_t{},
                   [&] { return reinterpret_cast<NDIlib_framesync_instance_t>(new FrameSync(*receiver)); });
}

void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p_instance) {
    delete frameSyncOf(p_instance);
}

void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t* p_audio_data,
                                    int sample_rate, int no_channels, int no_samples) {
    if (p_instance && p_audio_data)
        guarded("NDIlib_framesync_capture_audio",
                [&] { frameSyncOf(p_instance)->captureAudio(*p_audio_data, sample_rate, no_channels, no_samples); });
}

void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t* p_audio_data) {
    if (p_instance && p_audio_data)
        frameSyncOf(p_instance)->freeAudio(*p_audio_data);
}

void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                    NDIlib_frame_format_type_e) {
    if (p_instance && p_video_data)
        guarded("NDIlib_framesync_capture_video", [&] { frameSyncOf(p_instance)->captureVideo(*p_video_data); });
}

// Pictures are lent from a process-wide ledger, so freeing one needs nothing
// of the frame-sync beyond its being named.
void NDIlib_framesync_free_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data) {
    if (p_instance && p_video_data)
        PictureLedger::instance().giveBack(p_video_data->p_data);
}

void NDIlib_send_destroy(NDIlib_send_instance_t p_instance) {
    delete senderOf(p_instance);
}

void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data) {
    if (p_instance && p_audio_data)
        senderOf(p_instance)->sendAudio(*p_audio_data);
}

void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data) {
    if (p_instance && p_video_data)
        guarded("NDIlib_send_send_video_v2", [&] { senderOf(p_instance)->sendVideo(*p_video_data); });
}

} // extern "C"
