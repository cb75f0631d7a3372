#include "recorder/platform/linux/pulse/audio_timeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using recorder::linux_backend::pulse::AudioTimeline;

constexpr int kRate = 48000;
constexpr int64_t kFrames = 960;  // 20 ms
constexpr int64_t kBufferNs = 20'000'000;
constexpr int64_t kStartNs = 5'000'000'000'000;

TEST(AudioTimelineTest, FirstBufferStartsAtItsMeasurement) {
    AudioTimeline timeline(kRate);
    EXPECT_FALSE(timeline.nextStartNs().has_value());
    EXPECT_EQ(timeline.place(kStartNs, kFrames), kStartNs);
    EXPECT_EQ(timeline.nextStartNs(), kStartNs + kBufferNs);
}

TEST(AudioTimelineTest, JitteryMeasurementsGiveContiguousBuffers) {
    AudioTimeline timeline(kRate);
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> jitter(-3'000'000, 3'000'000);
    int64_t expectedNs = timeline.place(kStartNs, kFrames) + kBufferNs;
    for (int i = 1; i < 1000; ++i) {
        const int64_t placed = timeline.place(kStartNs + i * kBufferNs + jitter(random), kFrames);
        EXPECT_NEAR(static_cast<double>(placed - expectedNs), 0.0, 100'000) << "buffer " << i;
        // Jitter averages out instead of accumulating.
        EXPECT_NEAR(static_cast<double>(placed - (kStartNs + i * kBufferNs)), 0.0, 1'500'000) << "buffer " << i;
        expectedNs = placed + kBufferNs;
    }
}

TEST(AudioTimelineTest, FollowsTheHostClockWhenTheSoundCardRunsFast) {
    // A card 200 ppm fast delivers 960 frames every 19.996 ms of host time; counting samples alone
    // would drift 120 ms behind in ten minutes.
    AudioTimeline timeline(kRate);
    const double hostPerBufferNs = kBufferNs / 1.0002;
    int64_t placed = 0;
    int64_t measured = 0;
    for (int i = 0; i < 30'000; ++i) {  // ten minutes
        measured = kStartNs + std::llround(i * hostPerBufferNs);
        placed = timeline.place(measured, kFrames);
    }
    EXPECT_NEAR(static_cast<double>(placed - measured), 0.0, 1'000'000);
}

TEST(AudioTimelineTest, IgnoresASingleMeasurementFarOff) {
    AudioTimeline timeline(kRate);
    timeline.place(kStartNs, kFrames);
    // A timing report delayed by 40 ms must not tear a hole into the audio.
    EXPECT_EQ(timeline.place(kStartNs + kBufferNs + 40'000'000, kFrames), kStartNs + kBufferNs);
    EXPECT_EQ(timeline.place(kStartNs + 2 * kBufferNs, kFrames), kStartNs + 2 * kBufferNs);
}

TEST(AudioTimelineTest, JumpsWhenMeasurementsStayFarOff) {
    AudioTimeline timeline(kRate);
    timeline.place(kStartNs, kFrames);
    // The source stalled for half a second: after a confirmation of about 100 ms of audio, the
    // buffers are placed where they were measured, not after the last one.
    const int64_t stallNs = 500'000'000;
    int64_t placed = 0;
    int i = 1;
    for (; i <= 10; ++i) {
        placed = timeline.place(kStartNs + i * kBufferNs + stallNs, kFrames);
        if (placed == kStartNs + i * kBufferNs + stallNs) break;
    }
    EXPECT_EQ(i, 5) << "the jump comes with the buffer that completes 100 ms of far measurements";
    // Backwards as well (a reconnect whose audio overlaps what was already delivered).
    const int64_t nextNs = *timeline.nextStartNs();
    for (int j = 0; j < 5; ++j) placed = timeline.place(nextNs + j * kBufferNs - 50'000'000, kFrames);
    EXPECT_EQ(placed, nextNs + 4 * kBufferNs - 50'000'000);
}

TEST(AudioTimelineTest, SteersTowardsAConsistentOffset) {
    AudioTimeline timeline(kRate);
    timeline.place(kStartNs, kFrames);
    // Every later measurement says the audio is 10 ms later than counted: within two seconds the
    // placement has moved most of the way, one small step at a time.
    int64_t previousEndNs = kStartNs + kBufferNs;
    int64_t placed = 0;
    for (int i = 1; i <= 100; ++i) {
        placed = timeline.place(kStartNs + i * kBufferNs + 10'000'000, kFrames);
        EXPECT_LE(std::abs(placed - previousEndNs), 250'000) << "buffer " << i;
        previousEndNs = placed + kBufferNs;
    }
    EXPECT_NEAR(static_cast<double>(placed - (kStartNs + 100 * kBufferNs)), 10'000'000.0, 2'000'000.0);
}

TEST(AudioTimelineTest, SmallBuffersAreSteeredNoFasterThanLargeOnes) {
    // Convergence depends on the time covered, not on how the audio was cut into buffers.
    AudioTimeline large(kRate);
    AudioTimeline small(kRate);
    large.place(kStartNs, kFrames);
    small.place(kStartNs, kFrames);
    int64_t largeEnd = 0;
    int64_t smallEnd = 0;
    for (int i = 1; i <= 50; ++i) {
        large.place(kStartNs + i * kBufferNs + 10'000'000, kFrames);
        largeEnd = *large.nextStartNs();
    }
    for (int i = 4; i < 204; ++i) {  // the same 1.02 s in quarter-size buffers
        small.place(kStartNs + i * kBufferNs / 4 + 10'000'000, kFrames / 4);
        smallEnd = *small.nextStartNs();
    }
    EXPECT_NEAR(static_cast<double>(smallEnd - largeEnd), 0.0, 200'000.0);
}

TEST(AudioTimelineTest, ResetForgetsThePosition) {
    AudioTimeline timeline(kRate);
    timeline.place(kStartNs, kFrames);
    timeline.reset();
    EXPECT_FALSE(timeline.nextStartNs().has_value());
    EXPECT_EQ(timeline.place(kStartNs + 3'000'000, kFrames), kStartNs + 3'000'000);
}

}  // namespace
