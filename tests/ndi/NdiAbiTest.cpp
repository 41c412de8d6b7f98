// The binary layout and the values of the NDI interface, as the vendor's
// runtime has them on x86-64 Linux. A library loaded at start-up is called
// with these structures, so any drift here breaks it silently: the build fails
// instead.
#include "NDIlib.h"

#include <cstddef>
#include <cstdint>

#define QUORVANE_AT(type, member, offset, size)                                                                        \
    static_assert(offsetof(type, member) == (offset) && sizeof(type::member) == (size), #type "." #member)

static_assert(sizeof(NDIlib_source_t) == 16);
QUORVANE_AT(NDIlib_source_t, p_ndi_name, 0, 8);
QUORVANE_AT(NDIlib_source_t, p_url_address, 8, 8);

static_assert(sizeof(NDIlib_source_v2_t) == 24);
QUORVANE_AT(NDIlib_source_v2_t, p_ndi_name, 0, 8);
QUORVANE_AT(NDIlib_source_v2_t, p_url_address, 8, 8);
QUORVANE_AT(NDIlib_source_v2_t, p_metadata, 16, 8);

static_assert(sizeof(NDIlib_video_frame_v2_t) == 72);
QUORVANE_AT(NDIlib_video_frame_v2_t, xres, 0, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, yres, 4, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, FourCC, 8, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, frame_rate_N, 12, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, frame_rate_D, 16, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, picture_aspect_ratio, 20, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, frame_format_type, 24, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, timecode, 32, 8);
QUORVANE_AT(NDIlib_video_frame_v2_t, p_data, 40, 8);
QUORVANE_AT(NDIlib_video_frame_v2_t, line_stride_in_bytes, 48, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, data_size_in_bytes, 48, 4);
QUORVANE_AT(NDIlib_video_frame_v2_t, p_metadata, 56, 8);
QUORVANE_AT(NDIlib_video_frame_v2_t, timestamp, 64, 8);

static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56);
QUORVANE_AT(NDIlib_audio_frame_v2_t, sample_rate, 0, 4);
QUORVANE_AT(NDIlib_audio_frame_v2_t, no_channels, 4, 4);
QUORVANE_AT(NDIlib_audio_frame_v2_t, no_samples, 8, 4);
QUORVANE_AT(NDIlib_audio_frame_v2_t, timecode, 16, 8);
QUORVANE_AT(NDIlib_audio_frame_v2_t, p_data, 24, 8);
QUORVANE_AT(NDIlib_audio_frame_v2_t, channel_stride_in_bytes, 32, 4);
QUORVANE_AT(NDIlib_audio_frame_v2_t, p_metadata, 40, 8);
QUORVANE_AT(NDIlib_audio_frame_v2_t, timestamp, 48, 8);

static_assert(sizeof(NDIlib_audio_frame_v3_t) == 64);
QUORVANE_AT(NDIlib_audio_frame_v3_t, sample_rate, 0, 4);
QUORVANE_AT(NDIlib_audio_frame_v3_t, no_channels, 4, 4);
QUORVANE_AT(NDIlib_audio_frame_v3_t, no_samples, 8, 4);
QUORVANE_AT(NDIlib_audio_frame_v3_t, timecode, 16, 8);
QUORVANE_AT(NDIlib_audio_frame_v3_t, FourCC, 24, 4);
QUORVANE_AT(NDIlib_audio_frame_v3_t, p_data, 32, 8);
QUORVANE_AT(NDIlib_audio_frame_v3_t, channel_stride_in_bytes, 40, 4);
QUORVANE_AT(NDIlib_audio_frame_v3_t, data_size_in_bytes, 40, 4);
QUORVANE_AT(NDIlib_audio_frame_v3_t, p_metadata, 48, 8);
QUORVANE_AT(NDIlib_audio_frame_v3_t, timestamp, 56, 8);

static_assert(sizeof(NDIlib_metadata_frame_t) == 24);
QUORVANE_AT(NDIlib_metadata_frame_t, length, 0, 4);
QUORVANE_AT(NDIlib_metadata_frame_t, timecode, 8, 8);
QUORVANE_AT(NDIlib_metadata_frame_t, p_data, 16, 8);

static_assert(sizeof(NDIlib_find_create_t) == 24);
QUORVANE_AT(NDIlib_find_create_t, show_local_sources, 0, 1);
QUORVANE_AT(NDIlib_find_create_t, p_groups, 8, 8);
QUORVANE_AT(NDIlib_find_create_t, p_extra_ips, 16, 8);

static_assert(sizeof(NDIlib_recv_create_v3_t) == 40);
QUORVANE_AT(NDIlib_recv_create_v3_t, source_to_connect_to, 0, 16);
QUORVANE_AT(NDIlib_recv_create_v3_t, color_format, 16, 4);
QUORVANE_AT(NDIlib_recv_create_v3_t, bandwidth, 20, 4);
QUORVANE_AT(NDIlib_recv_create_v3_t, allow_video_fields, 24, 1);
QUORVANE_AT(NDIlib_recv_create_v3_t, p_ndi_recv_name, 32, 8);

static_assert(sizeof(NDIlib_send_create_t) == 24);
QUORVANE_AT(NDIlib_send_create_t, p_ndi_name, 0, 8);
QUORVANE_AT(NDIlib_send_create_t, p_groups, 8, 8);
QUORVANE_AT(NDIlib_send_create_t, clock_video, 16, 1);
QUORVANE_AT(NDIlib_send_create_t, clock_audio, 17, 1);

// Every enum is 4 bytes.
static_assert(sizeof(NDIlib_frame_type_e) == 4);
static_assert(sizeof(NDIlib_FourCC_video_type_e) == 4);
static_assert(sizeof(NDIlib_FourCC_audio_type_e) == 4);
static_assert(sizeof(NDIlib_frame_format_type_e) == 4);
static_assert(sizeof(NDIlib_recv_bandwidth_e) == 4);
static_assert(sizeof(NDIlib_recv_color_format_e) == 4);

static_assert(NDIlib_frame_type_none == 0 && NDIlib_frame_type_video == 1 && NDIlib_frame_type_audio == 2 &&
              NDIlib_frame_type_metadata == 3 && NDIlib_frame_type_error == 4 &&
              NDIlib_frame_type_status_change == 100);
static_assert(NDIlib_frame_format_type_interleaved == 0 && NDIlib_frame_format_type_progressive == 1 &&
              NDIlib_frame_format_type_field_0 == 2 && NDIlib_frame_format_type_field_1 == 3);
static_assert(NDIlib_recv_bandwidth_metadata_only == -10 && NDIlib_recv_bandwidth_lowest == 0 &&
              NDIlib_recv_bandwidth_audio_only == 10 && NDIlib_recv_bandwidth_highest == 100);
static_assert(NDIlib_recv_color_format_BGRX_BGRA == 0 && NDIlib_recv_color_format_UYVY_BGRA == 1 &&
              NDIlib_recv_color_format_RGBX_RGBA == 2 && NDIlib_recv_color_format_UYVY_RGBA == 3 &&
              NDIlib_recv_color_format_fastest == 100 && NDIlib_recv_color_format_best == 101 &&
              NDIlib_recv_color_format_compressed_v5 == 305 && NDIlib_recv_color_format_compressed_v5_video == 307);
static_assert(NDIlib_FourCC_video_type_UYVY == 0x59565955 && NDIlib_FourCC_video_type_BGRA == 0x41524742 &&
              NDIlib_FourCC_audio_type_FLTP == 0x70544c46);
static_assert(NDIlib_send_timecode_synthesize == INT64_MAX && NDIlib_recv_timestamp_undefined == INT64_MAX);
