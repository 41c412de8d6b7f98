// The NDI runtime interface: the calls, settings and frame descriptors with the
// names, meanings and binary layout of the vendor's runtime, implemented by
// Quorvane's own runtime. The engine takes the types from here and calls
// whichever runtime was loaded through ndi/NDIRuntime; the test tools call
// Quorvane's runtime directly.
//
// Every runtime has the standard calls. An advanced runtime also has
// NDIlib_find_create_v3, NDIlib_find_get_current_sources_v2,
// NDIlib_recv_create_v4 and NDIlib_send_create_v2, and knows the compressed
// colour format. Quorvane's runtime is advanced unless built with
// QUORVANE_NDI_STANDARD_ONLY.
//
// Conventions: every call accepts null handles and null pointers and then does
// nothing, returning null, false or NDIlib_frame_type_none. All calls are safe
// to make from any thread; one receiver, frame-sync or sender is used by one
// thread at a time.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NDI_LIB_FOURCC(a, b, c, d)                                                                                     \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) |                         \
     ((uint32_t)(uint8_t)(d) << 24))

// The timecode value that asks the runtime to synthesise one.
#define NDIlib_send_timecode_synthesize INT64_MAX
// The timestamp of a frame for which none is known.
#define NDIlib_recv_timestamp_undefined INT64_MAX

typedef enum NDIlib_frame_type_e {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
    NDIlib_frame_type_status_change = 100,
    NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

typedef enum NDIlib_FourCC_video_type_e {
    NDIlib_FourCC_video_type_UYVY = NDI_LIB_FOURCC('U', 'Y', 'V', 'Y'),
    NDIlib_FourCC_video_type_UYVA = NDI_LIB_FOURCC('U', 'Y', 'V', 'A'),
    NDIlib_FourCC_video_type_BGRA = NDI_LIB_FOURCC('B', 'G', 'R', 'A'),
    NDIlib_FourCC_video_type_BGRX = NDI_LIB_FOURCC('B', 'G', 'R', 'X'),
    NDIlib_FourCC_video_type_RGBA = NDI_LIB_FOURCC('R', 'G', 'B', 'A'),
    NDIlib_FourCC_video_type_RGBX = NDI_LIB_FOURCC('R', 'G', 'B', 'X'),
    // Compressed pictures: data_size_in_bytes gives the payload size.
    NDIlib_FourCC_video_type_H264 = NDI_LIB_FOURCC('H', '2', '6', '4'),
    NDIlib_FourCC_video_type_HEVC = NDI_LIB_FOURCC('H', 'E', 'V', 'C'),
    NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_FourCC_audio_type_e {
    // Planar 32-bit float.
    NDIlib_FourCC_audio_type_FLTP = NDI_LIB_FOURCC('F', 'L', 'T', 'p'),
    NDIlib_FourCC_audio_type_max = 0x7fffffff
} NDIlib_FourCC_audio_type_e;

typedef enum NDIlib_frame_format_type_e {
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_progressive = 1,
    NDIlib_frame_format_type_field_0 = 2,
    NDIlib_frame_format_type_field_1 = 3,
    NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

typedef enum NDIlib_recv_bandwidth_e {
    NDIlib_recv_bandwidth_metadata_only = -10,
    NDIlib_recv_bandwidth_audio_only = 10,
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
    NDIlib_recv_bandwidth_max = 0x7fffffff
} NDIlib_recv_bandwidth_e;

typedef enum NDIlib_recv_color_format_e {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_RGBX_RGBA = 2,
    NDIlib_recv_color_format_UYVY_RGBA = 3,
    NDIlib_recv_color_format_fastest = 100,
    NDIlib_recv_color_format_best = 101,
    // Advanced runtime only. Pictures exactly as the sender sent them,
    // compressed or not, delivered with their audio.
    NDIlib_recv_color_format_compressed_v5 = 305,
    // Advanced runtime only. Compressed pictures without their audio.
    NDIlib_recv_color_format_compressed_v5_video = 307,
    NDIlib_recv_color_format_max = 0x7fffffff
} NDIlib_recv_color_format_e;

typedef struct NDIlib_source_t {
    const char* p_ndi_name;    // "HOST (stream name)"
    const char* p_url_address; // how to reach it; may be null
} NDIlib_source_t;

// An element of the advanced runtime's source list.
typedef struct NDIlib_source_v2_t {
    const char* p_ndi_name;
    const char* p_url_address;
    const char* p_metadata; // may be null
} NDIlib_source_v2_t;

typedef struct NDIlib_video_frame_v2_t {
    int xres;
    int yres;
    NDIlib_FourCC_video_type_e FourCC;
    int frame_rate_N;
    int frame_rate_D;
    float picture_aspect_ratio;
    NDIlib_frame_format_type_e frame_format_type;
    int64_t timecode;
    uint8_t* p_data;
    union {
        int line_stride_in_bytes; // uncompressed formats
        int data_size_in_bytes;   // compressed formats
    };
    const char* p_metadata;
    int64_t timestamp;
} NDIlib_video_frame_v2_t;

// Planar 32-bit float audio.
typedef struct NDIlib_audio_frame_v2_t {
    int sample_rate;
    int no_channels;
    int no_samples;
    int64_t timecode;
    float* p_data;
    int channel_stride_in_bytes;
    const char* p_metadata;
    int64_t timestamp;
} NDIlib_audio_frame_v2_t;

typedef struct NDIlib_audio_frame_v3_t {
    int sample_rate;
    int no_channels;
    int no_samples;
    int64_t timecode;
    NDIlib_FourCC_audio_type_e FourCC;
    uint8_t* p_data;
    union {
        int channel_stride_in_bytes;
        int data_size_in_bytes;
    };
    const char* p_metadata;
    int64_t timestamp;
} NDIlib_audio_frame_v3_t;

typedef struct NDIlib_metadata_frame_t {
    int length;
    int64_t timecode;
    char* p_data;
} NDIlib_metadata_frame_t;

typedef struct NDIlib_find_create_t {
    bool show_local_sources;
    const char* p_groups;
    const char* p_extra_ips;
} NDIlib_find_create_t;

typedef struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    NDIlib_recv_color_format_e color_format;
    NDIlib_recv_bandwidth_e bandwidth;
    bool allow_video_fields;
    const char* p_ndi_recv_name;
} NDIlib_recv_create_v3_t;

typedef struct NDIlib_send_create_t {
    const char* p_ndi_name;
    const char* p_groups;
    bool clock_video;
    bool clock_audio;
} NDIlib_send_create_t;

typedef struct NDIlib_find_instance_type* NDIlib_find_instance_t;
typedef struct NDIlib_recv_instance_type* NDIlib_recv_instance_t;
typedef struct NDIlib_send_instance_type* NDIlib_send_instance_t;
typedef struct NDIlib_framesync_instance_type* NDIlib_framesync_instance_t;

// Library.
bool NDIlib_initialize(void);
void NDIlib_destroy(void);
// A text whose last word is the version number.
const char* NDIlib_version(void);

// Discovery. A returned array stays valid until the next call on the same
// finder or its destruction.
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings);
NDIlib_find_instance_t NDIlib_find_create_v3(const NDIlib_find_create_t* p_create_settings, const char* p_config_data);
void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources);
const NDIlib_source_v2_t* NDIlib_find_get_current_sources_v2(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources);

// Receiving.
NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* p_create_settings);
NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* p_create_settings,
                                             const char* p_config_data);
void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                           NDIlib_audio_frame_v2_t* p_audio_data, NDIlib_metadata_frame_t* p_metadata,
                                           uint32_t timeout_in_ms);
NDIlib_frame_type_e NDIlib_recv_capture_v3(NDIlib_recv_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                           NDIlib_audio_frame_v3_t* p_audio_data, NDIlib_metadata_frame_t* p_metadata,
                                           uint32_t timeout_in_ms);
void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_recv_free_audio_v3(NDIlib_recv_instance_t p_instance, const NDIlib_audio_frame_v3_t* p_audio_data);
void NDIlib_recv_free_metadata(NDIlib_recv_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata);

// Frame synchronisation on top of a receiver (which must outlive it).
NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p_receiver);
void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p_instance);
void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t* p_audio_data,
                                    int sample_rate, int no_channels, int no_samples);
void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                    NDIlib_frame_format_type_e field_type);
void NDIlib_framesync_free_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data);

// Sending.
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings);
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings, const char* p_config_data);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);

#ifdef __cplusplus
}
#endif
