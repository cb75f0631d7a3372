// The windows of an application named in excludedProcessIds never show in a recording, also where they
// cover the recorded window, and also when the application opens them after the recording started.
// Where such a window was, the recording shows what lies beneath it or a neutral grey.

#include <csignal>
#include <sstream>
#include <thread>

#include "tests/e2e_window/window_recording_harness.hpp"
#include "tests/support/desktop/screen_grab.hpp"

namespace e2ewindow {
namespace {

constexpr uint32_t kMagenta = 0xFF00FF;
// Far enough from every quadrant colour and from grey that a blend with magenta is caught too.
constexpr int kMagentaTolerance = 80;

// The recorded window (quadrants) and the excluded window that covers part of it, in root coordinates.
constexpr int kRecordedFrameX = 200, kRecordedFrameY = 150, kRecordedWidth = 400, kRecordedHeight = 300;
constexpr int kExcludedFrameX = 300, kExcludedFrameY = 220, kExcludedWidth = 200, kExcludedHeight = 150;

std::string appWindowsProgram() {
    return APP_WINDOWS_PROGRAM;
}

// Checks one recorded picture of the quadrants window with an excluded window over `covered` (the
// excluded client area in the picture's coordinates): magenta nowhere; under the excluded window (its
// frame included) the quadrant colour beneath or grey; everywhere else the quadrants.
// With `onlyMagenta`, only the first: for pictures cut where the recorded window no longer is.
std::string exclusionMismatch(const testsupport::RgbFrame& picture, const PixelRect& covered,
                              bool onlyMagenta = false) {
    std::ostringstream problems;
    const int w = picture.width, h = picture.height;
    // openbox's frame: a 1-pixel border and a 20-pixel title bar, which belong to the window too.
    const PixelRect frame{covered.x - 1, covered.y - 20, covered.width + 2, covered.height + 21};
    // Chroma blur and the encoder's ringing along every edge reach a few pixels into each side.
    constexpr int margin = 8;
    auto inside = [](const PixelRect& r, int x, int y, int grow) {
        return x >= r.x - grow && x < r.x + r.width + grow && y >= r.y - grow && y < r.y + r.height + grow;
    };
    for (int y = 0; y < h; y += 5) {
        for (int x = 0; x < w; x += 5) {
            const uint32_t actual = picture.at(x, y);
            if (colourNear(actual, kMagenta, kMagentaTolerance)) {
                problems << " (" << x << "," << y << ") shows the excluded window: " << hexColour(actual) << ";";
                continue;
            }
            if (onlyMagenta) continue;
            if (std::abs(2 * x - w) < 2 * margin || std::abs(2 * y - h) < 2 * margin) continue;
            const bool right = 2 * x >= w, bottom = 2 * y >= h;
            const uint32_t beneath = bottom ? (right ? kYellow : kBlue) : (right ? kGreen : kRed);
            if (inside(frame, x, y, -margin)) {
                if (!colourNear(actual, beneath) && !isGrey(actual))
                    problems << " (" << x << "," << y << ") under the excluded window is " << hexColour(actual)
                             << ", neither " << hexColour(beneath) << " nor grey;";
            } else if (!inside(frame, x, y, margin) && !colourNear(actual, beneath)) {
                problems << " (" << x << "," << y << ") is " << hexColour(actual) << " not " << hexColour(beneath)
                         << ";";
            }
        }
    }
    return problems.str();
}

class ExcludedApplication : public WindowRecordingTest {
protected:
    virtual testsupport::DesktopOptions desktopOptions() const { return {}; }

    void SetUp() override {
        WindowRecordingTest::SetUp();
        startDesktop(desktopOptions());
        // Keeps frames coming 60 times a second: every one of them is a chance for the window to leak.
        busy_ = openMovingPicture(1620, 980, 260, 60);
        recorded_ = openTestWindow({"--pattern", "quadrants", "--width", std::to_string(kRecordedWidth), "--height",
                                    std::to_string(kRecordedHeight), "--x", std::to_string(kRecordedFrameX), "--y",
                                    std::to_string(kRecordedFrameY)});
        ASSERT_NE(recorded_.id, 0u);
    }

    std::string requestExcluding(int pid) const {
        return windowRequest(recorded_.id, R"("excludedProcessIds":[)" + std::to_string(pid) + "],");
    }

    // The excluded window's client area, in root coordinates and in the recorded picture's.
    virtual PixelRect excludedOnScreen() const {
        return {kExcludedFrameX + 1, kExcludedFrameY + 20, kExcludedWidth, kExcludedHeight};
    }
    PixelRect excludedInPicture() {
        auto recorded = clientRect(recorded_.id);
        auto excluded = excludedOnScreen();
        return {excluded.x - recorded.x, excluded.y - recorded.y, excluded.width, excluded.height};
    }

    // The excluded window is really on the screen, on top of the recorded one: the check is not vacuous.
    void expectExcludedWindowOnScreen(uint32_t window) {
        auto client = clientRect(window);
        ASSERT_EQ(client.x, excludedOnScreen().x);
        ASSERT_EQ(client.y, excludedOnScreen().y);
        auto shown = testsupport::grabScreen(desktop(), client.x + 10, client.y + 10, 20, 20);
        ASSERT_TRUE(shown);
        EXPECT_TRUE(colourNear(shown->at(10, 10), kMagenta)) << "the screen shows " << hexColour(shown->at(10, 10));
    }

    // Looks at every frame of the output. From `shownFrom` (seconds into the output) the excluded window
    // was on the screen over the recorded one, and enough frames must follow for the check to mean
    // something. Before `settledAfter` the crop may still be elsewhere: only magenta is looked for.
    void expectWindowNeverShows(double shownFrom, double settledAfter = 0) {
        auto frames = decodeAllFrames(outputPath());
        ASSERT_FALSE(frames.empty());
        const PixelRect covered = excludedInPicture();
        int withWindow = 0;
        std::vector<double> leaks;
        std::string firstLeak;
        for (const auto& frame : frames) {
            if (frame.time >= shownFrom) ++withWindow;
            std::string mismatch = exclusionMismatch(frame.picture, covered, frame.time < settledAfter);
            if (mismatch.empty()) continue;
            if (leaks.empty()) firstLeak = mismatch;
            leaks.push_back(frame.time);
        }
        if (!leaks.empty())
            ADD_FAILURE() << "the excluded window shows in " << leaks.size() << " of " << frames.size()
                          << " frames, from " << leaks.front() << " s to " << leaks.back()
                          << " s (it was on the screen from " << shownFrom << " s); the first:" << firstLeak;
        EXPECT_GE(withWindow, 15) << "too few frames with the excluded window on the screen";
    }

    void stopRecording(RecorderRun& run) {
        run.sendCommand("stop");
        ASSERT_EQ(run.waitForExit(30s), 0) << run.errorOutput();
        EXPECT_EQ(run.lineTexts(),
                  (std::vector<std::string>{"Recording started", "Recording stopped. Output path: " + outputPath()}));
    }

    std::string openCommandForExcludedWindow() const {
        auto client = excludedOnScreen();
        return "open " + std::to_string(client.x - 1) + " " + std::to_string(client.y - 20) + " " +
               std::to_string(client.width) + " " + std::to_string(client.height) + " FF00FF\n";
    }

    ShownWindow busy_, recorded_;
};

TEST_F(ExcludedApplication, ItsWindowOverTheRecordedWindowNeverShows) {
    auto excluded = openTestWindow({"--color", "FF00FF", "--width", std::to_string(kExcludedWidth), "--height",
                                    std::to_string(kExcludedHeight), "--x", std::to_string(kExcludedFrameX), "--y",
                                    std::to_string(kExcludedFrameY)});
    ASSERT_NE(excluded.id, 0u);
    expectExcludedWindowOnScreen(excluded.id);

    auto run = startRecording(requestExcluding(excluded.pid()));
    ASSERT_TRUE(run->waitForLine("Recording started", 15s)) << run->errorOutput();
    std::this_thread::sleep_for(1500ms);
    stopRecording(*run);
    expectWindowNeverShows(0);
}

// The same while the recorded window's program is busy and repaints nothing: what lies beneath the
// excluded window must still never be the excluded window's own picture.
TEST_F(ExcludedApplication, ItsWindowOverABusyRecordedWindowNeverShows) {
    auto excluded = openTestWindow({"--color", "FF00FF", "--width", std::to_string(kExcludedWidth), "--height",
                                    std::to_string(kExcludedHeight), "--x", std::to_string(kExcludedFrameX), "--y",
                                    std::to_string(kExcludedFrameY)});
    ASSERT_NE(excluded.id, 0u);
    expectExcludedWindowOnScreen(excluded.id);

    recorded_.process->sendSignal(SIGSTOP);
    auto run = startRecording(requestExcluding(excluded.pid()));
    auto started = run->waitForLine("Recording started", 15s);
    std::this_thread::sleep_for(1500ms);
    recorded_.process->sendSignal(SIGCONT);
    ASSERT_TRUE(started) << run->errorOutput();
    stopRecording(*run);
    expectWindowNeverShows(0);
}

// An application that had a window when the recording started opens another one over the recorded window.
TEST_F(ExcludedApplication, AWindowItOpensDuringTheRecordingNeverShows) {
    ShownWindow application{testsupport::ChildProcess::spawn({appWindowsProgram()}, desktop().environment())};
    ASSERT_TRUE(application.process->waitForStdoutLine("CONNECTED", 10s)) << application.process->stderrSoFar();
    application.process->writeStdin("open 1400 600 120 80 FF00FF\n");
    ASSERT_TRUE(application.process->readStdoutLine(10s).value_or("").starts_with("OPENED "));

    auto run = startRecording(requestExcluding(application.pid()));
    auto started = run->waitForLine("Recording started", 15s);
    ASSERT_TRUE(started) << run->errorOutput();
    std::this_thread::sleep_for(700ms);
    application.process->writeStdin(openCommandForExcludedWindow());
    auto opened = application.process->readStdoutLine(10s).value_or("");
    ASSERT_TRUE(opened.starts_with("OPENED ")) << opened;
    const double openedAfter = secondsBetween(*started, Clock::now());
    expectExcludedWindowOnScreen(static_cast<uint32_t>(std::stoul(opened.substr(7))));
    std::this_thread::sleep_for(1500ms);
    stopRecording(*run);
    expectWindowNeverShows(openedAfter);
}

// An application that runs when the recording starts but shows its first window only afterwards.
TEST_F(ExcludedApplication, ItsFirstWindowOpenedAfterTheStartNeverShows) {
    ShownWindow application{testsupport::ChildProcess::spawn({appWindowsProgram()}, desktop().environment())};
    ASSERT_TRUE(application.process->waitForStdoutLine("CONNECTED", 10s)) << application.process->stderrSoFar();

    auto run = startRecording(requestExcluding(application.pid()));
    auto started = run->waitForLine("Recording started", 15s);
    ASSERT_TRUE(started) << run->errorOutput();
    std::this_thread::sleep_for(700ms);
    application.process->writeStdin(openCommandForExcludedWindow());
    auto opened = application.process->readStdoutLine(10s).value_or("");
    ASSERT_TRUE(opened.starts_with("OPENED ")) << opened;
    const double openedAfter = secondsBetween(*started, Clock::now());
    expectExcludedWindowOnScreen(static_cast<uint32_t>(std::stoul(opened.substr(7))));
    std::this_thread::sleep_for(1500ms);
    stopRecording(*run);
    expectWindowNeverShows(openedAfter);
}

// Two monitors side by side. The recorded window starts on the first; the application, running but
// without a window at the start, opens one on the second where the recorded window is then moved to.
// Moving to another display rebuilds the exclusion from the applications of that moment.
class ExcludedApplicationOnTwoMonitors : public ExcludedApplication {
protected:
    static constexpr int kSecondMonitorX = 1920;
    // Where the recorded window's frame goes on the second monitor.
    static constexpr int kMovedFrameX = kSecondMonitorX + 300, kMovedFrameY = 250;

    testsupport::DesktopOptions desktopOptions() const override {
        testsupport::DesktopOptions options;
        options.screenWidth = 2 * kSecondMonitorX;
        options.screenHeight = 1080;
        options.monitors = {testsupport::MonitorSpec{"DISP1", 0, 0, 1920, 1080},
                            testsupport::MonitorSpec{"DISP2", kSecondMonitorX, 0, 1920, 1080}};
        return options;
    }
    // Over the recorded window once it has moved, at the same place relative to it as on the first monitor.
    PixelRect excludedOnScreen() const override {
        return {kMovedFrameX + (kExcludedFrameX - kRecordedFrameX) + 1,
                kMovedFrameY + (kExcludedFrameY - kRecordedFrameY) + 20, kExcludedWidth, kExcludedHeight};
    }
};

TEST_F(ExcludedApplicationOnTwoMonitors, AWindowOpenedAfterTheStartNeverShowsOnceTheRecordingChangesDisplay) {
    // Frames must keep coming on the second monitor too.
    auto busySecond = openMovingPicture(kSecondMonitorX + 1620, 980, 260, 60);
    ShownWindow application{testsupport::ChildProcess::spawn({appWindowsProgram()}, desktop().environment())};
    ASSERT_TRUE(application.process->waitForStdoutLine("CONNECTED", 10s)) << application.process->stderrSoFar();

    auto run = startRecording(requestExcluding(application.pid()));
    auto started = run->waitForLine("Recording started", 15s);
    ASSERT_TRUE(started) << run->errorOutput();
    application.process->writeStdin(openCommandForExcludedWindow());
    auto opened = application.process->readStdoutLine(10s).value_or("");
    ASSERT_TRUE(opened.starts_with("OPENED ")) << opened;
    std::this_thread::sleep_for(700ms);
    // Moved without being raised: the excluded window stays above it.
    moveWindow(recorded_.id, kMovedFrameX, kMovedFrameY);
    const double movedAfter = secondsBetween(*started, Clock::now());
    expectExcludedWindowOnScreen(static_cast<uint32_t>(std::stoul(opened.substr(7))));
    std::this_thread::sleep_for(2s);
    stopRecording(*run);
    expectWindowNeverShows(movedAfter, movedAfter + 1.0);
}

}  // namespace
}  // namespace e2ewindow
