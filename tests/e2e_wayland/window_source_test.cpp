// Window sources on a desktop that has them: GNOME's mutter, headless, behind the real portal
// frontend (a test-only backend forwards to mutter's own screencast interface and chooses the
// focused window, as a user would in the desktop's dialog).

#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/e2e_wayland/wayland_recording.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <thread>

namespace e2ewayland {
namespace {

using testsupport::probeMedia;

constexpr int kWindowWidth = 640, kWindowHeight = 360;
const std::string kWindowSize = std::to_string(kWindowWidth) + "x" + std::to_string(kWindowHeight);

class WindowSource : public WaylandRecordingTest {
protected:
    void SetUp() override {
        startDesktop({.compositor = testsupport::Compositor::mutter});
        showMovingPicture({"--window", kWindowSize});
    }
};

// Wayland names no windows to programs: any windowId asks the desktop for a window.
std::string windowRequest(const std::string& output) { return e2e_recorder::displayRequest(output, R"(,"windowId":7)"); }

TEST_F(WindowSource, TheChosenWindowIsRecordedAtItsOwnSize) {
    const auto output = outputPath("window.mp4");
    auto run = startRecorder(windowRequest(output));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    std::this_thread::sleep_for(2s);
    const auto outcome = stopCleanly(*run, output);
    EXPECT_EQ(outcome.out, "Recording started\n" + stoppedLine(output) + "\n");

    const auto info = probeMedia(output);
    ASSERT_TRUE(info && info->firstOfType("video"));
    const auto* video = info->firstOfType("video");
    EXPECT_EQ(video->width, kWindowWidth);
    EXPECT_EQ(video->height, kWindowHeight);
    std::string errors;
    EXPECT_TRUE(e2e_recorder::decodesWithoutErrors(output, &errors)) << errors;
    // Only the window: the animator's constant blue of 0x40 fills the whole picture.
    auto frame = testsupport::decodeFrameAt(output, 1.0);
    ASSERT_TRUE(frame);
    int points = 0, matching = 0;
    for (int y = 10; y < frame->height; y += 50)
        for (int x = 10; x < frame->width; x += 50, ++points)
            matching += std::abs(static_cast<int>(frame->at(x, y) & 0xFF) - 0x40) <= 12;
    EXPECT_GE(matching, points * 9 / 10) << matching << " of " << points;
}

TEST_F(WindowSource, AClosedWindowEndsTheRecordingAsOnX11) {
    const auto output = outputPath("closed.mp4");
    auto run = startRecorder(windowRequest(output));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    std::this_thread::sleep_for(1500ms);
    animator_->closeStdin();  // the animator ends, its window closes
    EXPECT_EQ(run->nextLine(), "WINDOW_UNAVAILABLE") << run->process().stderrSoFar();
    EXPECT_EQ(run->nextLine(), stoppedLine(output));
    const auto outcome = run->finish();
    EXPECT_EQ(outcome.status, 0) << "the recorder ends by itself: " << outcome.err;
    const auto info = probeMedia(output);
    ASSERT_TRUE(info && info->firstOfType("video"));
    EXPECT_GE(info->firstOfType("video")->duration, 1.0);
}

}  // namespace
}  // namespace e2ewayland
