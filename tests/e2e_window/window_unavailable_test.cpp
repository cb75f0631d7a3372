// A recorded window that goes away (closed, minimised, unmapped) ends the recording by itself: three
// lines, status 0 and a playable file, soon after the window went. A "stop" at the same moment must
// not make it report twice.

#include <algorithm>
#include <thread>

#include "tests/e2e_window/window_recording_harness.hpp"

namespace e2ewindow {
namespace {

// The tracker looks every half second; one look plus the query may take a little longer.
constexpr double kNoticeWithinSeconds = 1.0;
// Finishing a short recording of a small window.
constexpr double kStoppedWithinSeconds = 2.0;

class WindowUnavailable : public WindowRecordingTest {
protected:
    struct Recording {
        ShownWindow window;
        std::unique_ptr<RecorderRun> run;
        Clock::time_point startedAt;
    };

    Recording startRecordingAWindow(const std::string& path) {
        Recording recording;
        recording.window = openTestWindow({"--pattern", "quadrants", "--width", "320", "--height", "240", "--x",
                                           "300", "--y", "200"});
        if (recording.window.id == 0) return recording;
        recording.run = startRecording(windowRequest(recording.window.id, {}, path));
        auto started = recording.run->waitForLine("Recording started", 15s);
        if (!started) {
            ADD_FAILURE() << "the recording did not start: " << recording.run->errorOutput();
            recording.run.reset();
            return recording;
        }
        recording.startedAt = *started;
        // Let the recording have some length, and the tracker some cycles with the window present.
        std::this_thread::sleep_for(1200ms);
        return recording;
    }

    // Makes the window go away with `command` ("%W" stands for its id) and checks how the recording ends.
    void expectRecordingEndsWhenWindowGoes(const std::string& command) {
        Recording recording = startRecordingAWindow(outputPath());
        ASSERT_TRUE(recording.run);
        RecorderRun& run = *recording.run;

        std::string line = command;
        line.replace(line.find("%W"), 2, std::to_string(recording.window.id));
        const auto goingAt = Clock::now();
        runOnDesktop(line);
        const auto goneAt = Clock::now();

        auto unavailable = run.waitForLine("WINDOW_UNAVAILABLE", 10s);
        ASSERT_TRUE(unavailable) << "no WINDOW_UNAVAILABLE after " << line << "; stderr: " << run.errorOutput();
        EXPECT_LE(secondsBetween(goneAt, *unavailable), kNoticeWithinSeconds);
        RecordProperty("noticedAfterMs", static_cast<int>(1000 * secondsBetween(goneAt, *unavailable)));
        const std::string stopped = "Recording stopped. Output path: " + outputPath();
        auto stoppedAt = run.waitForLine(stopped, 30s);
        ASSERT_TRUE(stoppedAt) << run.errorOutput();
        EXPECT_LE(secondsBetween(goneAt, *stoppedAt), kStoppedWithinSeconds);
        RecordProperty("stoppedAfterMs", static_cast<int>(1000 * secondsBetween(goneAt, *stoppedAt)));

        EXPECT_EQ(run.waitForExit(10s), 0) << "the recorder must end by itself with status 0";
        EXPECT_EQ(run.lineTexts(), (std::vector<std::string>{"Recording started", "WINDOW_UNAVAILABLE", stopped}));
        EXPECT_EQ(run.errorOutput(), "");

        std::string errors;
        EXPECT_TRUE(playsCleanly(outputPath(), &errors)) << errors;
        auto info = testsupport::probeMedia(outputPath());
        ASSERT_TRUE(info);
        EXPECT_GE(info->duration, 1.0) << "the recording ran for more than a second before the window went";
        // Up to the moment it went, the file shows the window (after it, what took its place).
        const double goingAfter = secondsBetween(recording.startedAt, goingAt);
        // A still window is shown again four times a second once the capture has settled, so how
        // many frames precede the moment depends on how fast the machine is; the last one must not
        // be much older than a still refresh.
        int whileShown = 0;
        double lastShownAt = -1;
        for (const auto& frame : decodeAllFrames(outputPath())) {
            if (frame.time >= goingAfter) break;
            ++whileShown;
            lastShownAt = frame.time;
            std::string mismatch = quadrantsMismatch(frame.picture);
            EXPECT_EQ(mismatch, "") << "frame at " << frame.time << " s";
            if (!mismatch.empty()) break;
        }
        EXPECT_GE(whileShown, 3);
        EXPECT_GE(lastShownAt, goingAfter - 0.5) << whileShown << " frames before the window went at " << goingAfter << " s";
    }
};

TEST_F(WindowUnavailable, ClosingTheWindowEndsTheRecording) {
    startDesktop();
    // wmctrl asks the window manager to close it; test-window then ends and its window is destroyed.
    expectRecordingEndsWhenWindowGoes("wmctrl -ic %W");
}

TEST_F(WindowUnavailable, MinimisingTheWindowEndsTheRecording) {
    startDesktop();
    // A minimised window stays a client of the window manager, hidden.
    expectRecordingEndsWhenWindowGoes("xdotool windowminimize %W");
}

TEST_F(WindowUnavailable, UnmappingTheWindowEndsTheRecording) {
    startDesktop();
    expectRecordingEndsWhenWindowGoes("xdotool windowunmap %W");
}

// "stop" and the window's disappearance at nearly the same moment, in three orders: whoever finishes
// the recording, exactly one "Recording stopped" line is printed and the status is 0.
TEST_F(WindowUnavailable, StopRacingTheWindowsDisappearanceReportsOnce) {
    startDesktop();
    enum class Order { stopThenClose, closeThenStop, stopOnNotice };
    for (Order order : {Order::stopThenClose, Order::closeThenStop, Order::stopOnNotice}) {
        const std::string path = outputPath("race-" + std::to_string(static_cast<int>(order)) + ".mp4");
        SCOPED_TRACE(path);
        Recording recording = startRecordingAWindow(path);
        ASSERT_TRUE(recording.run);
        RecorderRun& run = *recording.run;
        const std::string close = "wmctrl -ic " + std::to_string(recording.window.id);
        switch (order) {
            case Order::stopThenClose:
                run.sendCommand("stop");
                runOnDesktop(close);
                break;
            case Order::closeThenStop:
                runOnDesktop(close);
                run.sendCommand("stop");
                break;
            case Order::stopOnNotice:
                runOnDesktop(close);
                ASSERT_TRUE(run.waitForLine("WINDOW_UNAVAILABLE", 10s)) << run.errorOutput();
                run.sendCommand("stop");
                break;
        }
        ASSERT_EQ(run.waitForExit(30s), 0) << run.errorOutput();

        const std::string stopped = "Recording stopped. Output path: " + path;
        auto lines = run.lineTexts();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "Recording started");
        EXPECT_EQ(lines.back(), stopped);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), stopped), 1);
        EXPECT_LE(std::count(lines.begin(), lines.end(), "WINDOW_UNAVAILABLE"), 1);
        EXPECT_LE(lines.size(), 3u);
        EXPECT_EQ(run.errorOutput(), "");
        if (order == Order::stopOnNotice) {
            EXPECT_EQ(lines.size(), 3u);
        }
        std::string errors;
        EXPECT_TRUE(playsCleanly(path, &errors)) << errors;
    }
}

}  // namespace
}  // namespace e2ewindow
