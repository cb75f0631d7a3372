// A recorded window looks exactly like the window: its size, its picture upright and unshifted, and
// the recording follows it when it moves, also onto another monitor.

#include <thread>

#include "tests/e2e_window/window_recording_harness.hpp"

namespace e2ewindow {
namespace {

using testsupport::DesktopOptions;
using testsupport::MonitorSpec;

class WindowContent : public WindowRecordingTest {
protected:
    // Records `window` for `duration`, stops and checks the three progress lines and the exit.
    void recordFor(uint32_t window, std::chrono::milliseconds duration) {
        auto run = startRecording(windowRequest(window));
        ASSERT_TRUE(run->waitForLine("Recording started", 15s)) << run->errorOutput();
        std::this_thread::sleep_for(duration);
        run->sendCommand("stop");
        ASSERT_EQ(run->waitForExit(30s), 0) << run->errorOutput();
        EXPECT_EQ(run->lineTexts(),
                  (std::vector<std::string>{"Recording started", "Recording stopped. Output path: " + outputPath()}));
    }

    void expectVideoSize(int width, int height) {
        auto info = testsupport::probeMedia(outputPath());
        ASSERT_TRUE(info) << "ffprobe cannot read " << outputPath();
        const auto* video = info->firstOfType("video");
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->width, width);
        EXPECT_EQ(video->height, height);
    }

    void expectEveryFrameShowsQuadrants() {
        auto frames = decodeAllFrames(outputPath());
        ASSERT_FALSE(frames.empty());
        for (const auto& frame : frames) {
            std::string mismatch = quadrantsMismatch(frame.picture);
            EXPECT_EQ(mismatch, "") << "frame at " << frame.time << " s";
            if (!mismatch.empty()) break;  // one broken frame tells the story; the rest would repeat it
        }
    }

    // Records the quadrants window while it is moved to (toX, toY). Every frame before the move and
    // every frame from one second after it must show the window. The caller keeps new frames coming
    // with a moving picture elsewhere, so that there are frames to judge.
    void recordWhileMoving(uint32_t window, int toX, int toY) {
        auto run = startRecording(windowRequest(window));
        auto started = run->waitForLine("Recording started", 15s);
        ASSERT_TRUE(started) << run->errorOutput();
        std::this_thread::sleep_for(1s);
        const double moveBegins = secondsBetween(*started, Clock::now());
        moveWindow(window, toX, toY);
        const double moveEnded = secondsBetween(*started, Clock::now());
        std::this_thread::sleep_for(2500ms);
        run->sendCommand("stop");
        ASSERT_EQ(run->waitForExit(30s), 0) << run->errorOutput();

        // A frame's time counts from the first frame, which came a little before its line was seen:
        // so a frame stamped before `moveBegins` was taken before the move began.
        auto frames = decodeAllFrames(outputPath());
        int before = 0, after = 0;
        for (const auto& frame : frames) {
            const bool isBefore = frame.time < moveBegins, isAfter = frame.time >= moveEnded + 1.0;
            if (!isBefore && !isAfter) continue;
            (isBefore ? before : after)++;
            std::string mismatch = quadrantsMismatch(frame.picture);
            EXPECT_EQ(mismatch, "") << "frame at " << frame.time << " s; the move took from " << moveBegins << " to "
                                    << moveEnded << " s";
            if (!mismatch.empty()) break;
        }
        EXPECT_GE(before, 10) << "too few frames before the move to judge";
        EXPECT_GE(after, 15) << "too few frames after the move to judge";
    }
};

TEST_F(WindowContent, WindowIsRecordedAtItsClientSizeUprightAndUnshifted) {
    startDesktop();
    auto window = openTestWindow({"--pattern", "quadrants", "--width", "400", "--height", "300", "--x", "200", "--y",
                                  "150"});
    ASSERT_NE(window.id, 0u);
    auto client = clientRect(window.id);
    ASSERT_EQ(client.x, 201);  // openbox's frame: 1 pixel on the left, 20 on top
    ASSERT_EQ(client.y, 170);

    recordFor(window.id, 1500ms);
    expectVideoSize(400, 300);
    std::string errors;
    EXPECT_TRUE(playsCleanly(outputPath(), &errors)) << errors;
    expectEveryFrameShowsQuadrants();
}

TEST_F(WindowContent, OddWindowSizeIsRoundedDownToEven) {
    startDesktop();
    auto window = openTestWindow({"--pattern", "quadrants", "--width", "301", "--height", "207", "--x", "500", "--y",
                                  "400"});
    ASSERT_NE(window.id, 0u);
    auto client = clientRect(window.id);
    ASSERT_EQ(client.width, 301);
    ASSERT_EQ(client.height, 207);

    recordFor(window.id, 1s);
    expectVideoSize(300, 206);
    // The odd window is squeezed by one pixel each way, not cut: the borders stay in the middle.
    expectEveryFrameShowsQuadrants();
}

TEST_F(WindowContent, RecordingFollowsAWindowMovedOnItsDisplay) {
    startDesktop();
    auto busy = openMovingPicture(1620, 980, 260, 60);
    auto window = openTestWindow({"--pattern", "quadrants", "--width", "320", "--height", "240", "--x", "100", "--y",
                                  "100"});
    ASSERT_NE(window.id, 0u);
    recordWhileMoving(window.id, 900, 500);
    expectVideoSize(320, 240);
}

TEST_F(WindowContent, RecordingFollowsAWindowMovedToAnotherMonitor) {
    DesktopOptions options;
    options.screenWidth = 3840;
    options.screenHeight = 1080;
    options.monitors = {MonitorSpec{"DISP1", 0, 0, 1920, 1080}, MonitorSpec{"DISP2", 1920, 0, 1920, 1080}};
    startDesktop(options);
    // One moving picture per monitor: each is captured only while the window is on its monitor.
    auto busyFirst = openMovingPicture(1620, 980, 260, 60);
    auto busySecond = openMovingPicture(3540, 980, 260, 60);
    auto window = openTestWindow({"--pattern", "quadrants", "--width", "320", "--height", "240", "--x", "300", "--y",
                                  "200"});
    ASSERT_NE(window.id, 0u);
    recordWhileMoving(window.id, 2300, 400);
    expectVideoSize(320, 240);
}

}  // namespace
}  // namespace e2ewindow
