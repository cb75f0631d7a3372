#include "tests/e2e_recorder/recording_fixture.hpp"
#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// Where a recording was cut: the last frame that shows a marker dark and the first that shows it
// bright, when the marker turned bright while the recording was paused. None unless the file shows
// it dark, then bright to the end.
struct Cut {
    double lastBefore = 0, firstAfter = 0;
};
// Between the marker's dark (about 20) and bright (about 230) luma.
constexpr double brightLuma = 128;
std::optional<Cut> cutShownBy(const std::vector<testsupport::FrameLuma>& frames) {
    const auto firstBright = std::find_if(frames.begin(), frames.end(), [](const auto& f) { return f.luma > brightLuma; });
    if (firstBright == frames.begin() || firstBright == frames.end()) return std::nullopt;
    if (std::any_of(firstBright, frames.end(), [](const auto& f) { return f.luma <= brightLuma; })) return std::nullopt;
    return Cut{std::prev(firstBright)->seconds, firstBright->seconds};
}

TEST_F(RecordingLifecycle, PausedTimeIsCutOutOfTheRecording) {
    startDesktop();
    addMovingPicture();
    // Beside the moving picture: dark until the recording is paused, bright from then on.
    auto& marker = addClient("test-window", {"--color", "141414", "--width", "120", "--height", "120", "--x", "1600",
                                             "--y", "100"});
    const auto place = windowPlace(*desktop_, marker.windowId);
    ASSERT_TRUE(place);
    const auto output = outputPath("paused.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    ASSERT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
    record(1s);

    const auto pauseSent = Clock::now();
    run.send("pause");
    EXPECT_EQ(run.nextLine(), "Recording paused");
    marker.process->writeStdin("color E6E6E6\n");
    ASSERT_TRUE(marker.process->waitForStdoutLine("OK", lineTimeout));
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
    const auto frames = testsupport::lumaTimeline(output, place->x + place->width / 2 - 8,
                                                  place->y + place->height / 2 - 8, 16, 16);
    ASSERT_TRUE(frames);
    const auto cut = cutShownBy(*frames);
    ASSERT_TRUE(cut) << "the file does not show the marker dark before the pause and bright after it";
    const double hop = run.stopRoundTripSeconds();
    const double gap = shortfallAllowance(videoPacketTimes(output));
    const double after = *seconds - cut->firstAfter;
    RecordProperty("file_seconds", std::to_string(*seconds));
    RecordProperty("cut_at_seconds", std::to_string(cut->firstAfter));
    RecordProperty("cut_gap_seconds", std::to_string(cut->firstAfter - cut->lastBefore));
    RecordProperty("after_cut_seconds", std::to_string(after));
    // The file's time zero is its first frame, captured before "Recording started" was read, and how
    // long before is nothing this side can see (the first grab of a recording is the slowest). So
    // the part before the cut only has a lower bound: the cut lies where the pause took effect.
    EXPECT_GE(cut->firstAfter, secondsBetween(run.startedSeenAt(), pauseSent));
    // The first frame after the resume is placed at the moment the pause took effect: it follows the
    // last frame before the pause by no more than that frame's own interval (on a starved capture the
    // longest gap of the file) and the time a frame takes to reach the recorder, which is less than a
    // stop's round trip. Without the cut, 1.5 s would lie between them.
    EXPECT_LE(cut->firstAfter - cut->lastBefore, gap + hop);
    // After the cut: from the first frame captured after the resume took effect (between our command
    // and its answer, then within a frame interval or the longest gap) to one frame after the last
    // frame captured before the stream stopped (at most a gap before "stop" was written, and before
    // the stop's answer was read).
    EXPECT_LE(after, secondsBetween(resumeSent, run.stopSentAt()) + hop + frameSeconds);
    EXPECT_GE(after, secondsBetween(resumedSeen, run.stopSentAt()) - 2 * gap);
}

}  // namespace
}  // namespace e2e_recorder
