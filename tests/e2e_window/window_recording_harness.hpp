#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace e2ewindow {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// The four colours of test-window's quadrants pattern.
inline constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kYellow = 0xFFFF00;
// H.264 in 4:2:0 and the trip through YUV move flat colours by a few steps at most.
inline constexpr int kColourTolerance = 12;

// True when every channel of `actual` is within `tolerance` of `expected` (both 0xRRGGBB).
bool colourNear(uint32_t actual, uint32_t expected, int tolerance = kColourTolerance);
// True for a grey: the channels differ by no more than `tolerance`.
bool isGrey(uint32_t colour, int tolerance = kColourTolerance);
std::string hexColour(uint32_t colour);

// A program of ours showing a window on the test desktop, kept alive (and its stdin open) by this object.
struct ShownWindow {
    std::unique_ptr<testsupport::ChildProcess> process;
    uint32_t id = 0;
    int pid() const { return process->pid(); }
};

// One line of the recorder's standard output and when the test saw it.
struct TimedLine {
    std::string text;
    Clock::time_point seenAt;
};

// A recorder-agent process recording on the test desktop.
class RecorderRun {
public:
    RecorderRun(const testsupport::TestDesktop& desktop, const std::string& request);

    // Reads standard output until `line` arrives; its time, or none after `timeout` or at end of output.
    std::optional<Clock::time_point> waitForLine(const std::string& line, std::chrono::milliseconds timeout);
    void sendCommand(const std::string& command);
    // Waits for the exit and reads the rest of standard output. Exit status, or none after `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

    const std::vector<TimedLine>& lines() const { return lines_; }
    std::vector<std::string> lineTexts() const;
    std::string errorOutput() const { return process_->stderrSoFar(); }
    int pid() const { return process_->pid(); }

private:
    void drainLines();

    std::unique_ptr<testsupport::ChildProcess> process_;
    std::vector<TimedLine> lines_;
};

// A decoded picture of the output and its presentation time in seconds.
struct DecodedFrame {
    double time = 0;
    testsupport::RgbFrame picture;
};

// A test on its own headless desktop with openbox, with a scratch directory for its files.
class WindowRecordingTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void startDesktop(const testsupport::DesktopOptions& options = {});
    testsupport::TestDesktop& desktop() { return *desktop_; }

    // test-window with these options (e.g. {"--pattern", "quadrants", "--x", "100"}), shown and painted.
    ShownWindow openTestWindow(const std::vector<std::string>& options);
    // moving-picture: keeps the display changing, so the recorder gets a new frame 60 times a second.
    ShownWindow openMovingPicture(int x, int y, int width, int height);

    // The client area of `window` in root coordinates, as the X server reports it.
    PixelRect clientRect(uint32_t window);
    // Runs a shell command on the desktop; fails the test when it does not succeed.
    void runOnDesktop(const std::string& command);
    // Moves the window manager's frame to (x, y) and waits until the client area is at (x + 1, y + 20).
    void moveWindow(uint32_t window, int x, int y);

    std::string outputPath(const std::string& name = "out.mp4") const { return (directory_ / name).string(); }
    // A request recording `window` into `path` (default: outputPath()); `extraFields` is inserted
    // verbatim (e.g. R"("windowX":10,)").
    std::string windowRequest(uint32_t window, const std::string& extraFields = {}, const std::string& path = {}) const;
    std::unique_ptr<RecorderRun> startRecording(const std::string& request);

    // True when the whole file decodes without an error line. Unlike testsupport::decodesCleanly it does
    // not go through ffmpeg's null muxer, which rescales to a constant 1/60 s clock and then rejects
    // two frames stamped closer together than that, as a recording taken at a varying rate may rightly
    // have them.
    bool playsCleanly(const std::string& path, std::string* errors = nullptr);
    // Every picture of the output file in order, each once (no frame repeated to a constant rate).
    std::vector<DecodedFrame> decodeAllFrames(const std::string& path);

    std::filesystem::path directory_;
    std::unique_ptr<testsupport::TestDesktop> desktop_;
};

// Seconds between two instants, as a decimal for messages and comparisons.
double secondsBetween(Clock::time_point from, Clock::time_point to);

// Checks that `picture` shows test-window's quadrants pattern filling the whole picture: each quadrant's
// colour at its centre, at the picture's corners (a crop shifted by the frame decorations or mirrored
// shows other colours there), and the borders between the quadrants where they belong (within 1 pixel
// of the middle), so that a shift of a few pixels is caught too. Empty when it does.
std::string quadrantsMismatch(const testsupport::RgbFrame& picture);

}  // namespace e2ewindow
