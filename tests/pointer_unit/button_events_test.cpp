#include <gtest/gtest.h>

#include "pointer/input/button_poll.hpp"
#include "pointer/input/button_tap.hpp"
#include "pointer/input/mouse_events.hpp"
#include "pointer_fakes.hpp"

namespace pointer::input {
namespace {

using Lines = std::vector<std::string>;
const std::string down1 = "INTERACTION:mousedown:1";
const std::string up1 = "INTERACTION:mouseup:1";

TEST(ButtonTap, LinesForEachEventType) {
    EXPECT_EQ(interactionLineForEvent({1, 0}), down1);
    EXPECT_EQ(interactionLineForEvent({2, 0}), up1);
    EXPECT_EQ(interactionLineForEvent({3, 1}), "INTERACTION:mousedown:2");
    EXPECT_EQ(interactionLineForEvent({4, 1}), "INTERACTION:mouseup:2");
    EXPECT_EQ(interactionLineForEvent({25, 2}), "INTERACTION:mousedown:3");
    EXPECT_EQ(interactionLineForEvent({26, 2}), "INTERACTION:mouseup:3");
    // The fourth button is an other-button event too, but only the middle button is reported.
    EXPECT_EQ(interactionLineForEvent({25, 3}), std::nullopt);
    EXPECT_EQ(interactionLineForEvent({26, 4}), std::nullopt);
    EXPECT_EQ(interactionLineForEvent({5, 0}), std::nullopt);
}

TEST(ButtonTap, ListensForTheSixTypesAndPrintsWhatItHears) {
    testing::ScriptedButtonEvents source;
    testing::RecordingLineSink sink;
    ASSERT_TRUE(installButtonTap(source, sink));
    EXPECT_EQ(source.tapMask, 0x600001Eu);
    source.tap({3, 1});
    source.tap({25, 5});
    source.tap({4, 1});
    EXPECT_EQ(sink.outLines(), (Lines{"INTERACTION:mousedown:2", "INTERACTION:mouseup:2"}));
    source.tapAvailable = false;
    EXPECT_FALSE(installButtonTap(source, sink));
}

TEST(ButtonPollLines, OneClickInATickIsDownThenUp) {
    EXPECT_EQ(pollLinesForButton({5, 5}, {6, 6}, 1), (Lines{down1, up1}));
    EXPECT_TRUE(pollLinesForButton({5, 5}, {5, 5}, 1).empty());
}

TEST(ButtonPollLines, AtMostFourOfEachKindPerTick) {
    EXPECT_EQ(pollLinesForButton({0, 0}, {6, 6}, 1), (Lines{down1, up1, down1, up1, down1, up1, down1, up1}));
}

TEST(ButtonPollLines, HeldButtonReportsDownAndUpInDifferentTicks) {
    EXPECT_EQ(pollLinesForButton({0, 0}, {1, 0}, 2), (Lines{"INTERACTION:mousedown:2"}));
    EXPECT_TRUE(pollLinesForButton({1, 0}, {1, 0}, 2).empty());
    EXPECT_EQ(pollLinesForButton({1, 0}, {1, 1}, 2), (Lines{"INTERACTION:mouseup:2"}));
}

TEST(ButtonPollLines, UnevenCountsInterleaveWhileBothLast) {
    EXPECT_EQ(pollLinesForButton({0, 0}, {1, 2}, 3),
              (Lines{"INTERACTION:mousedown:3", "INTERACTION:mouseup:3", "INTERACTION:mouseup:3"}));
}

TEST(ButtonPollLines, CountersThatWrapStillGiveTheSmallIncrement) {
    EXPECT_EQ(pollLinesForButton({4294967295u, 4294967295u}, {1, 1}, 1), (Lines{down1, up1, down1, up1}));
    EXPECT_EQ(pollLinesForButton({4294967294u, 0}, {0, 0}, 1), (Lines{down1, down1}));
}

TEST(ButtonPoller, StartsFromTheCurrentCountersAndReportsEachButtonInOrder) {
    testing::ScriptedButtonEvents source;
    source.set(1, 40);  // presses before the start are not reported
    source.set(2, 40);
    testing::RecordingLineSink sink;
    ButtonPoller poller(source, sink);
    poller.poll();
    EXPECT_TRUE(sink.outLines().empty());

    source.set(1, 41);
    source.set(2, 41);
    source.set(25, 1);
    source.set(3, 1);
    poller.poll();
    EXPECT_EQ(sink.outLines(), (Lines{down1, up1, "INTERACTION:mousedown:2", "INTERACTION:mousedown:3"}));
    poller.poll();
    EXPECT_EQ(sink.outLines().size(), 4u);
}

TEST(ButtonPoller, TimerPicksUpAClick) {
    testing::ScriptedButtonEvents source;
    testing::RecordingLineSink sink;
    ButtonPoller poller(source, sink);
    poller.start();
    source.set(4, 1);
    source.set(3, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sink.outLines().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(sink.outLines(), (Lines{"INTERACTION:mousedown:2", "INTERACTION:mouseup:2"}));
}

}  // namespace
}  // namespace pointer::input
