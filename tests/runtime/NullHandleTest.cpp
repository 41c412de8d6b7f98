// Every call accepts null handles and null pointers and then does nothing;
// configurations that are not JSON are ignored; the library calls are safe to
// repeat.
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

class CallsWithNothing : public RuntimeTestSupport::IsolatedRuntime {};

TEST_F(CallsWithNothing, nullHandlesAndPointersDoNothing) {
    EXPECT_TRUE(NDIlib_initialize());
    EXPECT_TRUE(NDIlib_initialize());

    uint32_t count = 7;
    EXPECT_EQ(NDIlib_find_get_current_sources_v2(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(NDIlib_find_get_current_sources_v2(nullptr, nullptr), nullptr);
    NDIlib_find_destroy(nullptr);

    EXPECT_EQ(NDIlib_recv_create_v4(nullptr, nullptr), nullptr);
    NDIlib_recv_create_v3_t noName{
        {nullptr, nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
    EXPECT_EQ(NDIlib_recv_create_v4(&noName, nullptr), nullptr);
    NDIlib_video_frame_v2_t video{};
    NDIlib_audio_frame_v2_t audio{};
    NDIlib_audio_frame_v3_t audio3{};
    NDIlib_metadata_frame_t metadata{};
    EXPECT_EQ(NDIlib_recv_capture_v2(nullptr, &video, &audio, &metadata, 10), NDIlib_frame_type_none);
    EXPECT_EQ(NDIlib_recv_capture_v3(nullptr, &video, &audio3, &metadata, 10), NDIlib_frame_type_none);
    NDIlib_recv_free_video_v2(nullptr, &video);
    NDIlib_recv_free_audio_v2(nullptr, &audio);
    NDIlib_recv_free_audio_v3(nullptr, &audio3);
    NDIlib_recv_free_metadata(nullptr, &metadata);
    NDIlib_recv_destroy(nullptr);

    EXPECT_EQ(NDIlib_framesync_create(nullptr), nullptr);
    NDIlib_framesync_capture_audio(nullptr, &audio, 48000, 0, 512);
    EXPECT_EQ(audio.p_data, nullptr);
    NDIlib_framesync_free_audio(nullptr, &audio);
    NDIlib_framesync_capture_video(nullptr, &video, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(video.p_data, nullptr);
    NDIlib_framesync_free_video(nullptr, &video);
    NDIlib_framesync_destroy(nullptr);

    EXPECT_EQ(NDIlib_send_create_v2(nullptr, nullptr), nullptr);
    NDIlib_send_create_t unnamed{nullptr, nullptr, true, false};
    EXPECT_EQ(NDIlib_send_create_v2(&unnamed, nullptr), nullptr);
    NDIlib_send_send_audio_v2(nullptr, &audio);
    NDIlib_send_send_video_v2(nullptr, &video);
    NDIlib_send_destroy(nullptr);

    NDIlib_destroy();
    NDIlib_destroy();
}

TEST_F(CallsWithNothing, handlesIgnoreNullFramesAndFramesWithoutData) {
    NDIlib_send_create_t settings{"Nulls", nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, "not json {");
    ASSERT_NE(sender, nullptr);
    NDIlib_send_send_audio_v2(sender, nullptr);
    NDIlib_send_send_video_v2(sender, nullptr);
    NDIlib_audio_frame_v2_t noAudio{48000, 2, 512, 0, nullptr, 2048, nullptr, 0};
    NDIlib_send_send_audio_v2(sender, &noAudio);
    NDIlib_video_frame_v2_t noPicture{};
    noPicture.xres = 16;
    noPicture.yres = 16;
    NDIlib_send_send_video_v2(sender, &noPicture);

    const std::string name = RuntimeTestSupport::hostName() + " (Nulls)";
    NDIlib_recv_create_v3_t receiverSettings{
        {name.c_str(), nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&receiverSettings, "[1, 2");
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, nullptr, 5000), NDIlib_frame_type_status_change);
    NDIlib_recv_free_audio_v2(receiver, nullptr);
    NDIlib_recv_free_video_v2(receiver, nullptr);
    NDIlib_framesync_instance_t frameSync = NDIlib_framesync_create(receiver);
    NDIlib_framesync_capture_audio(frameSync, nullptr, 48000, 0, 512);
    NDIlib_framesync_free_audio(frameSync, nullptr);
    NDIlib_framesync_capture_video(frameSync, nullptr, NDIlib_frame_format_type_progressive);
    NDIlib_framesync_free_video(frameSync, nullptr);
    NDIlib_framesync_destroy(frameSync);
    NDIlib_recv_destroy(receiver);

    NDIlib_find_instance_t finder = NDIlib_find_create_v3(nullptr, "{\"groups\": ");
    EXPECT_NE(finder, nullptr);
    NDIlib_find_destroy(finder);
    NDIlib_send_destroy(sender);
}

TEST(RuntimeVersion, endsWithAVersionNumber) {
    std::string version = NDIlib_version();
    std::string last = version.substr(version.rfind(' ') + 1);
    int major = -1;
    int minor = -1;
    int patch = -1;
    EXPECT_EQ(std::sscanf(last.c_str(), "%d.%d.%d", &major, &minor, &patch), 3) << version;
    EXPECT_GE(major, 1);
}
