#include "tests/e2e_recorder/recording_fixture.hpp"
#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

namespace e2e_recorder {
namespace {


using testsupport::probeMedia;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The video stream's duration, or a failure when the file is not a playable recording.
std::optional<double> playableVideoSeconds(const std::string& path) {
    auto info = probeMedia(path);
    if (!info || !info->firstOfType("video")) {
        ADD_FAILURE() << path << " has no video stream ffprobe can read";
        return std::nullopt;
    }
    std::string errors;
    EXPECT_TRUE(decodesWithoutErrors(path, &errors)) << errors;
    return info->firstOfType("video")->duration;
}

class StoppingSignal : public RecordingTest, public ::testing::WithParamInterface<int> {};

// A parent that is closed or killed must not lose the recording: the signal finalises as "stop" does.
TEST_P(StoppingSignal, FinalisesTheRecordingAsStopDoes) {
    startDesktop();
    addMovingPicture();
    const auto output = outputPath("signalled.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    ASSERT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
    record(1s);
    run.markStopSent();
    run.process().sendSignal(GetParam());
    EXPECT_EQ(run.nextLine(), "Recording stopped. Output path: " + output);
    auto outcome = run.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    auto seconds = playableVideoSeconds(output);
    ASSERT_TRUE(seconds);
    EXPECT_GE(*seconds, run.observedSeconds() - shortfallAllowance(videoPacketTimes(output)));
}

INSTANTIATE_TEST_SUITE_P(RecordingLifecycle, StoppingSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

class RecordingLifecycle : public RecordingTest {};

TEST_F(RecordingLifecycle, EndOfInputDoesNotStopTheRecording) {
    startDesktop();
    addMovingPicture();
    const auto output = outputPath("orphaned-input.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    ASSERT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
    run.process().closeStdin();
    // Nothing to poll for: the recording must simply go on, and a second is plenty for it not to.
    EXPECT_FALSE(run.process().waitForExit(1500ms)) << "the recording ended at end of input";
    EXPECT_EQ(run.process().stdoutSoFar(), "Recording started\n");

    run.markStopSent();
    run.process().sendSignal(SIGTERM);
    EXPECT_EQ(run.nextLine(), "Recording stopped. Output path: " + output);
    auto outcome = run.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    auto seconds = playableVideoSeconds(output);
    ASSERT_TRUE(seconds);
    // The frames after the end of input were recorded too.
    EXPECT_GE(*seconds, run.observedSeconds() - shortfallAllowance(videoPacketTimes(output)));
}

TEST_F(RecordingLifecycle, PausedTimeIsCutOutOfTheRecording) {
    startDesktop();
    addMovingPicture();
    const auto output = outputPath("paused.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    ASSERT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
    record(1s);

    const auto pauseSent = Clock::now();
    run.send("pause");
    EXPECT_EQ(run.nextLine(), "Recording paused");
    const auto pausedSeen = Clock::now();
    record(1500ms);
    const auto resumeSent = Clock::now();
    run.send("resume");
    EXPECT_EQ(run.nextLine(), "Recording resumed");
    const auto resumedSeen = Clock::now();
    record(1s);
    run.stop();
    EXPECT_EQ(run.nextLine(), "Recording stopped. Output path: " + output);
    auto outcome = run.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");

    auto seconds = playableVideoSeconds(output);
    ASSERT_TRUE(seconds);
    // The span cut out runs from the pause taking effect to the first frame after the resume took
    // effect: each end is known to lie between our command and the recorder's answer, and the first
    // frame after the resume comes within a frame of it.
    const double pausedAtLeast = secondsBetween(pausedSeen, resumeSent);
    const double pausedAtMost = secondsBetween(pauseSent, resumedSeen) + frameSeconds;
    const double observed = run.observedSeconds();
    RecordProperty("observed_seconds", std::to_string(observed));
    RecordProperty("paused_seconds", std::to_string(secondsBetween(pauseSent, resumeSent)));
    RecordProperty("file_seconds", std::to_string(*seconds));
    // As for a recording without pause (see display_recording_test.cpp), the start and stop hops add
    // at most one stop round trip each. The first frame after the resume, which ends the cut, comes a
    // frame interval after it on an idle machine; on a busy one the capture can be late by as much as
    // any hop through the recorder, so the stop round trip bounds that too.
    const double allowance = 2 * frameSeconds;
    const double hop = run.stopRoundTripSeconds();
    EXPECT_GE(*seconds, observed - pausedAtMost - allowance - hop);
    EXPECT_LE(*seconds, observed - pausedAtLeast + allowance + 2 * hop);
}

}  // namespace
}  // namespace e2e_recorder
