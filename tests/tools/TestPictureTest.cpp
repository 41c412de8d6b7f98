#include "tools/TestPicture.h"

#include <gtest/gtest.h>

#include <vector>

TEST(TestPicture, picturesReadBackAndAnyChangedByteShows) {
    const TestPicture::Info info{123456789012, 30000, 1001, 7};
    for (const size_t size : {size_t{40}, size_t{41}, size_t{1001}, size_t{320 * 180 * 2}}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> picture(size);
        ASSERT_TRUE(TestPicture::fill(picture.data(), size, info));
        const TestPicture::Check intact = TestPicture::check(picture.data(), size);
        EXPECT_EQ(intact.state, TestPicture::State::Intact);
        EXPECT_EQ(intact.info.index, info.index);
        EXPECT_EQ(intact.info.rateN, info.rateN);
        EXPECT_EQ(intact.info.rateD, info.rateD);
        EXPECT_EQ(intact.info.sourceId, info.sourceId);

        struct Change {
            size_t byte;
            TestPicture::State state;
        };
        for (const Change change :
             {Change{0, TestPicture::State::Foreign}, Change{8, TestPicture::State::Damaged},
              Change{30, TestPicture::State::Damaged}, Change{size - 1, TestPicture::State::Damaged}}) {
            std::vector<uint8_t> changed = picture;
            changed[change.byte] ^= 0x10;
            EXPECT_EQ(TestPicture::check(changed.data(), size).state, change.state) << "byte " << change.byte;
        }
        if (size > TestPicture::kMinBytes) {
            EXPECT_EQ(TestPicture::check(picture.data(), size - 1).state, TestPicture::State::Damaged);
        }
    }
    std::vector<uint8_t> small(TestPicture::kMinBytes - 1);
    EXPECT_FALSE(TestPicture::fill(small.data(), small.size(), info));
    EXPECT_EQ(TestPicture::check(small.data(), small.size()).state, TestPicture::State::Foreign);
}

TEST(TestPicture, pictureIndexAndClockAgree) {
    struct Rate {
        int n;
        int d;
    };
    for (const Rate rate : {Rate{30000, 1001}, Rate{25, 1}, Rate{60000, 1001}, Rate{1, 2}}) {
        for (const int64_t index : {int64_t{0}, int64_t{1}, int64_t{29}, int64_t{26000000}}) {
            const int64_t due = TestPicture::timeNs(index, rate.n, rate.d);
            EXPECT_EQ(TestPicture::indexAt(due, rate.n, rate.d), index);
            EXPECT_EQ(TestPicture::indexAt(due - 1, rate.n, rate.d), index - 1);
        }
    }
}
