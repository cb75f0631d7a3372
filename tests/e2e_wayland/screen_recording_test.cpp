// The built recorder-agent recording a headless sway desktop through the real screencast portal:
// what it records, for how long, and how it pauses and stops.

#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/e2e_wayland/wayland_recording.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <csignal>
#include <cmath>
#include <thread>

namespace e2ewayland {
namespace {

using e2e_recorder::longestGap;
using e2e_recorder::videoPacketTimes;
using testsupport::decodeFrameAt;
using testsupport::probeMedia;

// One frame at the recorder's nominal rate.
constexpr double frameSeconds = 1.0 / 60;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Lets a recording run; the length of a recording is what is being measured, not a readiness wait.
void record(std::chrono::milliseconds length) { std::this_thread::sleep_for(length); }

// The H.264 video stream of a file that decodes without an error.
const testsupport::StreamInfo* playableVideo(const std::optional<testsupport::MediaInfo>& info, const std::string& path) {
    if (!info) {
        ADD_FAILURE() << "ffprobe cannot read " << path;
        return nullptr;
    }
    const auto* video = info->firstOfType("video");
    if (!video) {
        ADD_FAILURE() << path << " has no video";
        return nullptr;
    }
    EXPECT_EQ(video->codecName, "h264");
    EXPECT_EQ(video->pixelFormat, "yuv420p");
    std::string errors;
    EXPECT_TRUE(e2e_recorder::decodesWithoutErrors(path, &errors)) << errors;
    return video;
}

int channel(uint32_t colour, int shift) { return static_cast<int>((colour >> shift) & 0xFF); }

bool near(uint32_t a, uint32_t b, int tolerance = 8) {
    for (int shift : {16, 8, 0})
        if (std::abs(channel(a, shift) - channel(b, shift)) > tolerance) return false;
    return true;
}

// The animator's moving picture has a constant blue of 0x40 under changing red and green: seen at a
// grid of points, it tells the animator's surface from a black or foreign one.
int pointsShowingTheAnimator(const testsupport::RgbFrame& frame) {
    int matching = 0;
    for (int y = 20; y < frame.height; y += 97)
        for (int x = 20; x < frame.width; x += 101) matching += std::abs(channel(frame.at(x, y), 0) - 0x40) <= 12;
    return matching;
}

int differingPoints(const testsupport::RgbFrame& a, const testsupport::RgbFrame& b) {
    int differing = 0;
    for (int y = 20; y < a.height; y += 97)
        for (int x = 20; x < a.width; x += 101) differing += !near(a.at(x, y), b.at(x, y));
    return differing;
}

class ScreenRecording : public WaylandRecordingTest {};

TEST_F(ScreenRecording, MovingContentIsRecordedAtTheOutputsSizeAndRateForAsLongAsTheRecordingRan) {
    startDesktop();
    showMovingPicture();
    const auto output = outputPath("moving.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(output));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    record(3s);
    const auto outcome = stopCleanly(*run, output);
    EXPECT_EQ(outcome.out, "Recording started\n" + stoppedLine(output) + "\n");
    EXPECT_EQ(outcome.err, "");

    const auto info = probeMedia(output);
    const auto* video = playableVideo(info, output);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, kScreenWidth);
    EXPECT_EQ(video->height, kScreenHeight);

    // As on X11: the file is no shorter than the time between "Recording started" and "stop", less a
    // frame (or the longest gap between frames, when the busy machine starved the capture), and no
    // longer than that plus a frame and the two hops through the recorder, each bounded by the stop's
    // round trip.
    const double observed = run->observedSeconds();
    const double hop = run->stopRoundTripSeconds();
    const auto times = videoPacketTimes(output);
    ASSERT_EQ(static_cast<int64_t>(times.size()), video->frameCount);
    RecordProperty("observed_seconds", std::to_string(observed));
    RecordProperty("file_seconds", std::to_string(video->duration));
    RecordProperty("frames_per_second", std::to_string(static_cast<double>(times.size()) / video->duration));
    EXPECT_GE(video->duration, observed - std::max(frameSeconds, longestGap(times)));
    EXPECT_LE(video->duration, observed + frameSeconds + 2 * hop) << "observed " << observed << " s, hop " << hop;

    // The compositor sends a frame for each picture the animator shows, up to the output's 60 Hz:
    // on a shared machine the count need only be plausible, but never above the rate.
    EXPECT_GE(video->frameCount, static_cast<int64_t>(20 * observed)) << "over " << observed << " s";
    EXPECT_LE(video->frameCount, static_cast<int64_t>(std::ceil(60 * video->duration)) + 2);

    // The pictures are the animator's, and they move.
    auto early = decodeFrameAt(output, 0.5), late = decodeFrameAt(output, 1.5);
    ASSERT_TRUE(early && late);
    const int points = (kScreenWidth / 101 + 1) * (kScreenHeight / 97 + 1);
    EXPECT_GE(pointsShowingTheAnimator(*early), points * 9 / 10);
    EXPECT_GE(differingPoints(*early, *late), points / 2);
}

TEST_F(ScreenRecording, OnAStillScreenAPaintedFrameIsRecordedAndTheLastPictureHeldToTheStop) {
    startDesktop();
    showStillPicture();
    const auto output = outputPath("still.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(output));
    // The desktop sends the screen once when the stream starts, and then only what changes.
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    record(1s);
    const auto painted = paintNextStill();
    ASSERT_TRUE(painted) << "the still picture did not paint";
    record(1500ms);
    const auto outcome = stopCleanly(*run, output);
    EXPECT_EQ(outcome.err, "");

    const auto info = probeMedia(output);
    const auto* video = playableVideo(info, output);
    ASSERT_NE(video, nullptr);
    // Nothing changed in the last second and a half, yet the file lasts to the stop, less at most
    // the longest gap between the frames it holds.
    const double observed = run->observedSeconds();
    const auto times = videoPacketTimes(output);
    RecordProperty("frames", std::to_string(times.size()));
    EXPECT_GE(video->duration, observed - std::max(frameSeconds, longestGap(times))) << "observed " << observed;
    EXPECT_LE(video->duration, observed + frameSeconds + 2 * run->stopRoundTripSeconds());
    EXPECT_LT(static_cast<double>(times.size()), 60 * video->duration / 3)
        << "a still screen is not encoded 60 times a second";
    // Before the paint the first colour, at the end the painted one.
    auto before = decodeFrameAt(output, 0.5), last = decodeFrameAt(output, video->duration - 0.05);
    ASSERT_TRUE(before && last);
    const auto centre = [](const testsupport::RgbFrame& frame) { return frame.at(kScreenWidth / 2, kScreenHeight / 2); };
    EXPECT_TRUE(near(centre(*before), 0x3070C0, 6)) << std::hex << centre(*before);
    EXPECT_TRUE(near(centre(*last), *painted, 6)) << std::hex << centre(*last) << " instead of " << *painted;
}

TEST_F(ScreenRecording, ARegionIsCutFromTheMonitorInItsPixels) {
    startDesktop();
    showMovingPicture();
    const auto output = outputPath("region.mp4");
    // Wayland has no window identifiers of ours: the region crops the monitor the desktop gives.
    auto run = startRecorder(e2e_recorder::displayRequest(
        output, R"(,"windowId":1,"windowX":200,"windowY":100,"windowWidth":640,"windowHeight":360)"));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    record(1500ms);
    const auto outcome = stopCleanly(*run, output);
    EXPECT_EQ(occurrences(outcome.err, "Error"), 0u) << outcome.err;

    const auto info = probeMedia(output);
    const auto* video = playableVideo(info, output);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, 640);
    EXPECT_EQ(video->height, 360);
    auto frame = decodeFrameAt(output, 0.5);
    ASSERT_TRUE(frame);
    // The animator paints red = (x + t) mod 256 across the screen: neighbours ten pixels apart differ
    // by ten in red, unless the band wraps between them. A region scaled rather than cut would not.
    int steps = 0, tenApart = 0;
    for (int y = 30; y < frame->height; y += 60)
        for (int x = 20; x + 10 < frame->width; x += 50) {
            const int delta = (channel(frame->at(x + 10, y), 16) - channel(frame->at(x, y), 16) + 256) % 256;
            ++steps;
            tenApart += std::abs(delta - 10) <= 4;
        }
    EXPECT_GE(tenApart, steps * 8 / 10) << tenApart << " of " << steps;
}

TEST_F(ScreenRecording, PausedTimeIsCutOutAndSigtermFinalises) {
    startDesktop();
    showMovingPicture();
    const auto output = outputPath("paused.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(output));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    record(1s);
    const auto pauseSent = Clock::now();
    run->send("pause");
    EXPECT_EQ(run->nextLine(), "Recording paused");
    const auto pausedSeen = Clock::now();
    record(1500ms);
    const auto resumeSent = Clock::now();
    run->send("resume");
    EXPECT_EQ(run->nextLine(), "Recording resumed");
    const auto resumedSeen = Clock::now();
    record(1s);
    // A stopping signal finalises as "stop" does.
    run->markStopSent();
    run->process().sendSignal(SIGTERM);
    EXPECT_EQ(run->nextLine(), stoppedLine(output));
    const auto outcome = run->finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");

    const auto info = probeMedia(output);
    const auto* video = playableVideo(info, output);
    ASSERT_NE(video, nullptr);
    // The cut runs from the pause taking effect to the first frame after the resume: each end lies
    // between our command and the recorder's answer (see the X11 lifecycle test for the allowances).
    const double observed = run->observedSeconds();
    const double pausedAtLeast = secondsBetween(pausedSeen, resumeSent);
    const double pausedAtMost = secondsBetween(pauseSent, resumedSeen) + frameSeconds;
    const double hop = run->stopRoundTripSeconds();
    RecordProperty("observed_seconds", std::to_string(observed));
    RecordProperty("file_seconds", std::to_string(video->duration));
    EXPECT_GE(video->duration, observed - pausedAtMost - 2 * frameSeconds - hop);
    EXPECT_LE(video->duration, observed - pausedAtLeast + 2 * frameSeconds + 2 * hop);
    // No gap of the paused length is left in the file.
    EXPECT_LT(longestGap(videoPacketTimes(output)), 0.5);
}

}  // namespace
}  // namespace e2ewayland
