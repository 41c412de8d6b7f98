#include "ndi/AVDelayLine.h"

#include "audio/EngineLimits.h"
#include "ndi/AVFramesContainer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

// A picture the line can hold: null frame-sync, so giving it back is a no-op,
// and a data pointer that identifies it.
NDIlib_video_frame_v2_t fakePicture(uint8_t* data, int rateN = 30000, int rateD = 1001) {
    NDIlib_video_frame_v2_t picture = AVFramesContainer::emptyVideoFrame();
    picture.xres = 2;
    picture.yres = 2;
    picture.frame_rate_N = rateN;
    picture.frame_rate_D = rateD;
    picture.timecode = 1;
    picture.p_data = data;
    return picture;
}

// One pass of the video task for `line`, as the task makes it.
uint8_t* passPicture(AVDelayLine& line, AVFramesContainer& source, uint8_t* picture, int rateN = 30000,
                     int rateD = 1001) {
    line.attachVideoSource(source);
    std::lock_guard lock(source.videoMutex);
    source.videoFrame = fakePicture(picture, rateN, rateD);
    line.delayVideo(source);
    uint8_t* leaving = source.videoFrame.p_data;
    source.videoFrame = AVFramesContainer::emptyVideoFrame();
    return leaving;
}

TEST(AVDelayLine, ringLengthsFollowDelayAndFormat) {
    const struct {
        int32_t delayMs;
        int32_t sampleRate, block, rateN, rateD;
        uint64_t length;
    } cases[] = {
        {100, 48000, 512, 0, 0, 9},         // 9 blocks = 96 ms late
        {-100, 48000, 512, 30000, 1001, 2}, // 2 pictures
        {10, 48000, 512, 30000, 1001, 0},   // less than one block
        {-30, 48000, 512, 30000, 1001, 0},  // less than one picture
        {0, 48000, 512, 30000, 1001, 0},      {10000, 48000, 512, 0, 0, 937}, {-10000, 48000, 512, 60, 1, 600},
        {-100, 48000, 512, 1000000000, 1, 0}, // a picture rate from the network sizes nothing absurd
        {-100, 48000, 512, 30000, 0, 0},      {100, 48000, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        AVDelayLine line;
        AVFramesContainer source;
        uint8_t picture = 0;
        line.setAudioFormat(c.sampleRate, c.block, 2);
        if (c.rateN != 0 || c.rateD != 0) {
            passPicture(line, source, &picture, c.rateN, c.rateD); // the task learns the rate
        }
        ASSERT_TRUE(line.setDelayMs(c.delayMs));
        EXPECT_EQ(line.ringLength(), c.length) << c.delayMs << " ms, rate " << c.rateN << "/" << c.rateD;
        EXPECT_EQ(line.ready(), c.length != 0);
        line.releaseVideo();
    }
}

TEST(AVDelayLine, delaysBeyondTheLimitAreRefusedAndChangeNothing) {
    AVDelayLine line;
    line.setAudioFormat(48000, 512, 2);
    ASSERT_TRUE(line.setDelayMs(100));
    EXPECT_FALSE(line.setDelayMs(EngineLimits::kMaxDelayMs + 1));
    EXPECT_FALSE(line.setDelayMs(-EngineLimits::kMaxDelayMs - 1));
    EXPECT_FALSE(line.setDelayMs(INT32_MIN));
    EXPECT_DOUBLE_EQ(line.delay(), 0.1);
    EXPECT_EQ(line.ringLength(), 9u);
    EXPECT_EQ(line.audioRingSize(), 9u);
}

TEST(AVDelayLine, audioLeavesRingLengthBlocksLaterAndRingNeverShrinks) {
    constexpr int kChannels = 2, kBlock = 512;
    AVDelayLine line;
    line.setAudioFormat(48000, kBlock, kChannels);
    ASSERT_TRUE(line.setDelayMs(100));
    std::vector<float> own(kChannels * kBlock);
    NDIlib_audio_frame_v2_t frame{48000,      kChannels,  kBlock,  NDIlib_send_timecode_synthesize,
                                  own.data(), kBlock * 4, nullptr, 0};
    // Block t is filled with t; the frame then holds block t - 9 (silence first).
    for (int t = 0; t < 30; ++t) {
        std::fill_n(frame.p_data, kChannels * kBlock, float(t));
        ASSERT_TRUE(line.delayAudio(frame));
        EXPECT_EQ(frame.p_data[kChannels * kBlock - 1], t < 9 ? 0.0f : float(t - 9)) << "block " << t;
        EXPECT_EQ(frame.no_channels, kChannels);
        EXPECT_EQ(frame.no_samples, kBlock);
    }

    ASSERT_TRUE(line.setDelayMs(50));
    EXPECT_EQ(line.ringLength(), 4u);
    EXPECT_EQ(line.audioRingSize(), 9u);
    ASSERT_TRUE(line.setDelayMs(0));
    EXPECT_FALSE(line.delayAudio(frame));
    EXPECT_EQ(line.audioRingSize(), 9u);
}

TEST(AVDelayLine, fillingVideoRingHandsBackNoPictureUntilFull) {
    AVDelayLine line;
    AVFramesContainer source;
    std::vector<uint8_t> pictures(8);
    passPicture(line, source, &pictures[0]); // rate learnt, no delay yet: passes straight through
    ASSERT_TRUE(line.setDelayMs(-100));      // 2 pictures
    EXPECT_EQ(passPicture(line, source, &pictures[1]), nullptr);
    EXPECT_EQ(passPicture(line, source, &pictures[2]), nullptr);
    EXPECT_EQ(passPicture(line, source, &pictures[3]), &pictures[1]);
    EXPECT_EQ(passPicture(line, source, &pictures[4]), &pictures[2]);
    EXPECT_EQ(source.heldPictures.load(), 2);
    EXPECT_EQ(line.heldPictures(), 2u);
}

TEST(AVDelayLine, picturesGoBackToTheirOwnSourceWhenTheSourceChanges) {
    AVDelayLine line;
    AVFramesContainer first, second;
    std::vector<uint8_t> pictures(8);
    passPicture(line, first, &pictures[0]);
    ASSERT_TRUE(line.setDelayMs(-200)); // 5 pictures
    for (int i = 1; i <= 3; ++i) {
        passPicture(line, first, &pictures[i]);
    }
    EXPECT_EQ(first.heldPictures.load(), 3);

    EXPECT_EQ(passPicture(line, second, &pictures[4]), nullptr); // the ring starts empty
    EXPECT_EQ(first.heldPictures.load(), 0);
    EXPECT_EQ(second.heldPictures.load(), 1);
    EXPECT_EQ(line.heldPictures(), 1u);
}

TEST(AVDelayLine, shorterDelayReturnsPicturesOfUnusedSlots) {
    AVDelayLine line;
    AVFramesContainer source;
    std::vector<uint8_t> pictures(16);
    passPicture(line, source, &pictures[0]);
    ASSERT_TRUE(line.setDelayMs(-300)); // 8 pictures
    for (int i = 1; i <= 10; ++i) {
        passPicture(line, source, &pictures[i]);
    }
    EXPECT_EQ(source.heldPictures.load(), 8);
    ASSERT_TRUE(line.setDelayMs(-100)); // 2 pictures: the other 6 slots are never read again
    passPicture(line, source, &pictures[11]);
    EXPECT_EQ(source.heldPictures.load(), 2);
    ASSERT_TRUE(line.setDelayMs(100)); // audio delay: the video ring holds nothing
    EXPECT_EQ(passPicture(line, source, &pictures[12]), &pictures[12]);
    EXPECT_EQ(source.heldPictures.load(), 0);
    EXPECT_EQ(line.videoRingSize(), 8u);
}

TEST(AVDelayLine, movedLineKeepsRingsAndBuffersValid) {
    AVDelayLine line;
    line.setAudioFormat(48000, 64, 1);
    ASSERT_TRUE(line.setDelayMs(10)); // 7 blocks
    std::vector<float> own(64, 1.0f);
    NDIlib_audio_frame_v2_t frame{48000, 1, 64, 0, own.data(), 256, nullptr, 0};
    line.delayAudio(frame);
    AVDelayLine moved(std::move(line));
    AVDelayLine assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.ringLength(), 7u);
    for (int t = 0; t < 20; ++t) {
        std::fill_n(frame.p_data, 64, float(t)); // writes into whatever buffer circulates now
        ASSERT_TRUE(assigned.delayAudio(frame));
    }
}

// The audio thread and the video task use the line while a delay task changes
// the delay hundreds of times a second; run under ThreadSanitizer, and under
// AddressSanitizer every sample of every circulating buffer is written.
TEST(AVDelayLine, delayChangesNeverOverlapAudioOrVideoUse) {
    constexpr int kChannels = 4, kBlock = 256;
    AVDelayLine line;
    AVFramesContainer source;
    line.setAudioFormat(48000, kBlock, kChannels);
    std::atomic<bool> stop{false};

    std::thread audio([&] {
        std::vector<float> own(kChannels * kBlock);
        NDIlib_audio_frame_v2_t frame{48000, kChannels, kBlock, 0, own.data(), kBlock * 4, nullptr, 0};
        while (!stop) {
            std::fill_n(frame.p_data, kChannels * kBlock, 0.5f);
            line.delayAudio(frame);
            ASSERT_EQ(frame.no_channels, kChannels);
            ASSERT_EQ(frame.no_samples, kBlock);
        }
    });
    std::thread video([&] {
        std::vector<uint8_t> pictures(64);
        for (size_t i = 0; !stop; ++i) {
            passPicture(line, source, &pictures[i % pictures.size()]);
        }
    });
    std::mt19937 random(7);
    std::uniform_int_distribution<int32_t> delays(-1000, 1000);
    for (int i = 0; i < 400; ++i) {
        ASSERT_TRUE(line.setDelayMs(delays(random)));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    stop = true;
    audio.join();
    video.join();

    line.releaseVideo();
    EXPECT_EQ(source.heldPictures.load(), 0);
    EXPECT_LE(line.audioRingSize(), 187u); // 1 s of 256-sample blocks at most
    EXPECT_LE(line.videoRingSize(), 29u);
}

} // namespace
