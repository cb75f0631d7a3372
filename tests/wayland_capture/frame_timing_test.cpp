// Frame times from the desktop's stamps on the host clock, and when a still picture is shown again.

#include <gtest/gtest.h>

#include "recorder/platform/linux/pipewire/frame_clock.hpp"
#include "recorder/platform/linux/pixels/still_picture.hpp"

namespace recorder::linux_backend {
namespace {

using pipewire::FrameClock;
using pipewire::kMinimumFrameSpacingNs;

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kHostNow = 5'000'000 * kMs;  // some time after boot

TEST(FrameClock, MonotonicStampsAreKeptSoFramesAreSpacedAsTheDesktopDrewThem) {
    FrameClock clock;
    // Drawn 4 ms before they arrive, with the arrival jitter not reflected in the stamps.
    EXPECT_EQ(clock.stamp(kHostNow - 4 * kMs, kHostNow), kHostNow - 4 * kMs);
    EXPECT_EQ(clock.stamp(kHostNow + 13 * kMs, kHostNow + 21 * kMs), kHostNow + 13 * kMs);
    EXPECT_EQ(clock.stamp(kHostNow + 30 * kMs, kHostNow + 31 * kMs), kHostNow + 30 * kMs);
    // A picture shown again because nothing changed is stamped with its own moment.
    EXPECT_EQ(clock.stampRepeat(kHostNow + 300 * kMs), kHostNow + 300 * kMs);
}

TEST(FrameClock, MissingOrImpossibleStampsFallBackToTheArrivalTime) {
    FrameClock clock;
    EXPECT_EQ(clock.stamp(std::nullopt, kHostNow), kHostNow);
    // In the future of the host clock: not on it.
    FrameClock future;
    EXPECT_EQ(future.stamp(kHostNow + 500 * kMs, kHostNow), kHostNow);
    // Zero or negative: the producer did not stamp the frame.
    FrameClock zero;
    EXPECT_EQ(zero.stamp(0, kHostNow), kHostNow);
    EXPECT_EQ(zero.stamp(-1, kHostNow + 20 * kMs), kHostNow + 20 * kMs);
}

TEST(FrameClock, AProducerOnAnotherClockIsShiftedOnceAndKeepsItsSpacing) {
    FrameClock clock;
    const int64_t foreign = 1'700'000'000'000 * kMs;  // realtime nanoseconds, far ahead of the host clock
    EXPECT_EQ(clock.stamp(foreign, kHostNow), kHostNow);
    // The next frames keep their own spacing rather than their arrival jitter.
    EXPECT_EQ(clock.stamp(foreign + 17 * kMs, kHostNow + 25 * kMs), kHostNow + 17 * kMs);
    EXPECT_EQ(clock.stamp(foreign + 34 * kMs, kHostNow + 35 * kMs), kHostNow + 34 * kMs);
    // A jump of the foreign clock (a step of the wall clock) is taken up by a new shift.
    EXPECT_EQ(clock.stamp(foreign + 3'600'000 * kMs, kHostNow + 52 * kMs), kHostNow + 52 * kMs);
}

TEST(FrameClock, EveryStampIsLaterThanTheOneBefore) {
    FrameClock clock;
    const int64_t repeat = clock.stampRepeat(kHostNow);
    // The desktop's next picture was drawn before the repeat went out, and arrived after it.
    const int64_t next = clock.stamp(kHostNow - 2 * kMs, kHostNow + kMs);
    EXPECT_EQ(next, repeat + kMinimumFrameSpacingNs);
    const int64_t same = clock.stamp(kHostNow - 2 * kMs, kHostNow + 2 * kMs);
    EXPECT_GT(same, next);
    EXPECT_GT(clock.stampRepeat(next), same);
}

TEST(StillPicture, RepeatsComeQuicklyWhileSettlingAndFourTimesASecondAfterwards) {
    const int64_t settledAt = 500 * kMs;
    // While settling, a gap of the given size is enough; a zero gap makes every tick due.
    EXPECT_TRUE(stillPictureDue(100 * kMs, 100 * kMs, settledAt, 0));
    EXPECT_FALSE(stillPictureDue(130 * kMs, 100 * kMs, settledAt, 34 * kMs));
    EXPECT_TRUE(stillPictureDue(134 * kMs, 100 * kMs, settledAt, 34 * kMs));
    // Afterwards only a quarter of a second of stillness is.
    EXPECT_FALSE(stillPictureDue(749 * kMs, 500 * kMs, settledAt, 0));
    EXPECT_TRUE(stillPictureDue(750 * kMs, 500 * kMs, settledAt, 0));
    EXPECT_EQ(kStillRefreshNanoseconds, 250 * kMs);
}

}  // namespace
}  // namespace recorder::linux_backend
