// Pictures pass from a sender to a receiver byte for byte with every field of
// their descriptor, through the plain capture and through the frame-sync.
#include "PictureLedger.h"
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace std::chrono_literals;
using RuntimeTestSupport::waitUntil;

namespace {

struct Picture {
    NDIlib_video_frame_v2_t frame{};
    std::vector<uint8_t> bytes;
    std::string metadata;
};

// An uncompressed picture with padded lines, or a compressed payload, filled
// with random bytes.
Picture makePicture(NDIlib_FourCC_video_type_e fourCC, int64_t timecode, unsigned seed) {
    Picture picture;
    bool compressed = fourCC == NDIlib_FourCC_video_type_H264 || fourCC == NDIlib_FourCC_video_type_HEVC;
    int xres = 64;
    int yres = 36;
    int strideOrSize = compressed ? 12345 : xres * 2 + 16;
    picture.bytes.resize(compressed ? static_cast<size_t>(strideOrSize) : static_cast<size_t>(strideOrSize * yres));
    std::mt19937 random(seed);
    for (auto& byte : picture.bytes)
        byte = static_cast<uint8_t>(random());
    picture.metadata = "<frame seed=\"" + std::to_string(seed) + "\"/>";
    picture.frame = {xres,
                     yres,
                     fourCC,
                     60000,
                     1001,
                     16.0f / 9.0f,
                     NDIlib_frame_format_type_interleaved,
                     timecode,
                     picture.bytes.data(),
                     {strideOrSize},
                     picture.metadata.c_str(),
                     0};
    return picture;
}

void expectSame(const Picture& sent, const NDIlib_video_frame_v2_t& received) {
    EXPECT_EQ(received.xres, sent.frame.xres);
    EXPECT_EQ(received.yres, sent.frame.yres);
    EXPECT_EQ(received.FourCC, sent.frame.FourCC);
    EXPECT_EQ(received.frame_rate_N, sent.frame.frame_rate_N);
    EXPECT_EQ(received.frame_rate_D, sent.frame.frame_rate_D);
    EXPECT_EQ(received.picture_aspect_ratio, sent.frame.picture_aspect_ratio);
    EXPECT_EQ(received.frame_format_type, sent.frame.frame_format_type);
    EXPECT_EQ(received.line_stride_in_bytes, sent.frame.line_stride_in_bytes);
    if (sent.frame.timecode != NDIlib_send_timecode_synthesize) {
        EXPECT_EQ(received.timecode, sent.frame.timecode);
    }
    EXPECT_GT(received.timestamp, 0);
    ASSERT_NE(received.p_data, nullptr);
    EXPECT_EQ(std::memcmp(received.p_data, sent.bytes.data(), sent.bytes.size()), 0);
    ASSERT_NE(received.p_metadata, nullptr);
    EXPECT_EQ(std::string(received.p_metadata), sent.metadata);
}

} // namespace

class Video : public RuntimeTestSupport::IsolatedRuntime {
protected:
    void SetUp() override {
        IsolatedRuntime::SetUp();
        NDIlib_send_create_t settings{"Pictures", nullptr, true, false};
        sender = NDIlib_send_create_v2(&settings, nullptr);
        name = RuntimeTestSupport::hostName() + " (Pictures)";
        NDIlib_recv_create_v3_t receiverSettings{{name.c_str(), nullptr},
                                                 NDIlib_recv_color_format_compressed_v5,
                                                 NDIlib_recv_bandwidth_highest,
                                                 true,
                                                 nullptr};
        receiver = NDIlib_recv_create_v4(&receiverSettings, nullptr);
        ASSERT_NE(sender, nullptr);
        ASSERT_NE(receiver, nullptr);
    }
    void TearDown() override {
        NDIlib_recv_destroy(receiver);
        NDIlib_send_destroy(sender);
        IsolatedRuntime::TearDown();
    }
    // Waits for the connection, which the receiver reports once.
    void connect() {
        NDIlib_video_frame_v2_t frame{};
        ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &frame, nullptr, nullptr, 5000), NDIlib_frame_type_status_change);
    }

    std::string name;
    NDIlib_send_instance_t sender = nullptr;
    NDIlib_recv_instance_t receiver = nullptr;
};

TEST_F(Video, picturesArriveUnchangedWhetherCompressedOrNot) {
    connect();
    for (auto fourCC : {NDIlib_FourCC_video_type_UYVY, NDIlib_FourCC_video_type_BGRA, NDIlib_FourCC_video_type_H264,
                        NDIlib_FourCC_video_type_HEVC}) {
        Picture sent = makePicture(fourCC, 123456789, static_cast<unsigned>(fourCC));
        NDIlib_send_send_video_v2(sender, &sent.frame);
        NDIlib_video_frame_v2_t received{};
        ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &received, nullptr, nullptr, 5000), NDIlib_frame_type_video);
        expectSame(sent, received);
        NDIlib_recv_free_video_v2(receiver, &received);
    }
}

TEST_F(Video, synthesisedTimecodeIsTheSendTime) {
    connect();
    Picture sent = makePicture(NDIlib_FourCC_video_type_UYVY, NDIlib_send_timecode_synthesize, 1);
    NDIlib_send_send_video_v2(sender, &sent.frame);
    NDIlib_video_frame_v2_t received{};
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &received, nullptr, nullptr, 5000), NDIlib_frame_type_video);
    EXPECT_NE(received.timecode, NDIlib_send_timecode_synthesize);
    EXPECT_NE(received.timecode, 0);
    EXPECT_EQ(received.timecode, received.timestamp);
    NDIlib_recv_free_video_v2(receiver, &received);
}

TEST_F(Video, clockedSendingKeepsThePictureRate) {
    connect();
    Picture sent = makePicture(NDIlib_FourCC_video_type_H264, 1, 2);
    sent.frame.frame_rate_N = 50;
    sent.frame.frame_rate_D = 1;
    auto start = std::chrono::steady_clock::now();
    for (int index = 0; index < 10; ++index)
        NDIlib_send_send_video_v2(sender, &sent.frame);
    // Ten pictures at 50 per second: the tenth goes out 180 ms after the first.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 180ms);
}

// Several senders pass the same source through: each capture of the newest
// picture stays valid until it is freed, however many newer ones arrive.
TEST_F(Video, frameSyncLendsTheNewestPictureUntilEveryCaptureIsFreed) {
    connect();
    NDIlib_framesync_instance_t frameSync = NDIlib_framesync_create(receiver);
    Picture first = makePicture(NDIlib_FourCC_video_type_H264, 1, 10);
    NDIlib_send_send_video_v2(sender, &first.frame);
    NDIlib_video_frame_v2_t a{};
    ASSERT_TRUE(waitUntil(
        [&] {
            NDIlib_framesync_capture_video(frameSync, &a, NDIlib_frame_format_type_progressive);
            if (a.timecode != 0)
                return true;
            NDIlib_framesync_free_video(frameSync, &a);
            return false;
        },
        5s));
    NDIlib_video_frame_v2_t b{};
    NDIlib_framesync_capture_video(frameSync, &b, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(a.p_data, b.p_data);
    expectSame(first, b);

    Picture second = makePicture(NDIlib_FourCC_video_type_H264, 2, 20);
    NDIlib_send_send_video_v2(sender, &second.frame);
    NDIlib_video_frame_v2_t c{};
    ASSERT_TRUE(waitUntil(
        [&] {
            NDIlib_framesync_capture_video(frameSync, &c, NDIlib_frame_format_type_progressive);
            if (c.timecode == 2)
                return true;
            NDIlib_framesync_free_video(frameSync, &c);
            return false;
        },
        5s));
    expectSame(second, c);
    NDIlib_framesync_free_video(frameSync, &b);
    expectSame(first, a);
    NDIlib_framesync_free_video(frameSync, &a);
    NDIlib_framesync_destroy(frameSync);
    // A picture outlives the frame-sync it came from until it is freed.
    expectSame(second, c);
    NDIlib_framesync_free_video(frameSync, &c);
    EXPECT_EQ(ndiruntime::PictureLedger::instance().outstanding(), 0u);
}

TEST_F(Video, audioOnlyReceiverGetsNoPictures) {
    NDIlib_recv_create_v3_t settings{{name.c_str(), nullptr},
                                     NDIlib_recv_color_format_compressed_v5,
                                     NDIlib_recv_bandwidth_audio_only,
                                     true,
                                     nullptr};
    NDIlib_recv_instance_t audioOnly = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_video_frame_v2_t received{};
    ASSERT_EQ(NDIlib_recv_capture_v2(audioOnly, &received, nullptr, nullptr, 5000), NDIlib_frame_type_status_change);
    Picture sent = makePicture(NDIlib_FourCC_video_type_UYVY, 5, 5);
    NDIlib_send_send_video_v2(sender, &sent.frame);
    EXPECT_EQ(NDIlib_recv_capture_v2(audioOnly, &received, nullptr, nullptr, 300), NDIlib_frame_type_none);
    NDIlib_recv_destroy(audioOnly);
}
