#include <gtest/gtest.h>

#include <limits>

#include "common/host_clock.hpp"
#include "common/media_time.hpp"

using common::MediaTime;

TEST(MediaTime, ConstructionFromValueAndSeconds) {
    const MediaTime sixtieth = MediaTime::make(1, 60);
    EXPECT_TRUE(sixtieth.isValid());
    EXPECT_EQ(sixtieth.value, 1);
    EXPECT_EQ(sixtieth.timescale, 60);
    const MediaTime two = MediaTime::fromSeconds(2.0, 600);
    EXPECT_EQ(two.value, 1200);
    EXPECT_EQ(two.timescale, 600);
    EXPECT_EQ(two.flags & MediaTime::kHasBeenRounded, 0u);
    EXPECT_FALSE(MediaTime::make(1, 0).isValid());
    EXPECT_TRUE(MediaTime::fromSeconds(1.0 / 3, 600).flags & MediaTime::kHasBeenRounded);
}

TEST(MediaTime, ComparisonIsExactAcrossTimescales) {
    EXPECT_EQ(common::compare(MediaTime::make(1, 60), MediaTime::make(10, 600)), 0);
    EXPECT_GT(common::compare(MediaTime::make(1, 3), MediaTime::make(333333333, 1000000000)), 0);
    // Cross products that overflow 64 bits still compare exactly.
    const MediaTime huge = MediaTime::make(std::numeric_limits<int64_t>::max(), 1000000000);
    const MediaTime hugeMinusOne = MediaTime::make(std::numeric_limits<int64_t>::max() - 1, 1000000000);
    EXPECT_GT(common::compare(huge, hugeMinusOne), 0);
    EXPECT_GT(common::compare(MediaTime::make(std::numeric_limits<int64_t>::max(), 7),
                              MediaTime::make(std::numeric_limits<int64_t>::max(), 11)), 0);
    EXPECT_LT(common::compare(MediaTime::make(-5, 2), MediaTime::zero()), 0);
}

TEST(MediaTime, InvalidAndInfiniteTimesOrder) {
    EXPECT_EQ(common::compare(MediaTime::invalid(), MediaTime::invalid()), 0);
    EXPECT_GT(common::compare(MediaTime::invalid(), MediaTime::make(1, 1)), 0);
    EXPECT_GT(common::compare(MediaTime::positiveInfinity(), MediaTime::make(1'000'000, 1)), 0);
    EXPECT_LT(common::compare(MediaTime::negativeInfinity(), MediaTime::make(-1'000'000, 1)), 0);
    EXPECT_FALSE((MediaTime::invalid() + MediaTime::make(1, 1)).isValid());
}

TEST(MediaTime, ArithmeticUsesACommonTimescale) {
    const MediaTime sum = MediaTime::make(1, 60) + MediaTime::make(1, 600);
    EXPECT_EQ(common::compare(sum, MediaTime::make(11, 600)), 0);
    EXPECT_EQ(sum.flags & MediaTime::kHasBeenRounded, 0u);
    const MediaTime difference = MediaTime::make(1015020, 1000) - MediaTime::make(1010010, 1000);
    EXPECT_EQ(common::compare(difference, MediaTime::make(5010, 1000)), 0);
    // Timescales whose least common multiple does not fit 32 bits round onto the larger one.
    const MediaTime rounded = MediaTime::make(1, 1000000007) + MediaTime::make(1, 999999937);
    EXPECT_TRUE(rounded.isValid());
    EXPECT_TRUE(rounded.flags & MediaTime::kHasBeenRounded);
    EXPECT_NEAR(rounded.seconds(), 2e-9, 1e-11);
    // Overflow saturates to infinity rather than wrapping.
    const MediaTime big = MediaTime::make(std::numeric_limits<int64_t>::max(), 1);
    EXPECT_EQ(common::compare(big + big, MediaTime::positiveInfinity()), 0);
}

TEST(MediaTime, MinimumAndZero) {
    EXPECT_EQ(common::minimum(MediaTime::make(3, 2), MediaTime::make(1200, 600)), MediaTime::make(3, 2));
    EXPECT_EQ(common::minimum(MediaTime::make(5, 1), MediaTime::make(1200, 600)), MediaTime::make(2, 1));
    EXPECT_EQ(common::minimum(MediaTime::invalid(), MediaTime::make(1, 2)), MediaTime::make(1, 2));
    EXPECT_EQ(MediaTime::zero(), MediaTime::make(0, 600));
    EXPECT_NE(MediaTime::zero(), MediaTime::invalid());
}

TEST(HostClock, IsMonotonicAndInNanoseconds) {
    const MediaTime first = common::hostTimeNow();
    const MediaTime second = common::hostTimeNow();
    EXPECT_EQ(first.timescale, common::kHostTimescale);
    EXPECT_LE(common::compare(first, second), 0);
}
