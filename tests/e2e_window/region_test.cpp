// A request with a region records that rectangle of the screen, at its size, until the window tracker's
// first look: from then on the crop is the named window's frame.

#include <set>
#include <sstream>
#include <thread>

#include "tests/e2e_window/window_recording_harness.hpp"
#include "tests/support/desktop/screen_grab.hpp"

namespace e2ewindow {
namespace {

class RegionRecording : public WindowRecordingTest {};

// Compares `picture` with `reference` (same size) at a grid of points whose surroundings are of one
// colour in the reference, so that the blur of 4:2:0 chroma along colour edges is not held against it.
// Returns the mismatches; `compared` counts the points looked at and `colours` the distinct colours met.
std::string regionMismatch(const testsupport::RgbFrame& picture, const testsupport::RgbFrame& reference,
                           int& compared, std::set<uint32_t>& colours) {
    std::ostringstream problems;
    constexpr int step = 10, reach = 3;
    compared = 0;
    for (int y = reach; y < reference.height - reach; y += step) {
        for (int x = reach; x < reference.width - reach; x += step) {
            const uint32_t expected = reference.at(x, y);
            bool uniform = true;
            for (int dy = -reach; dy <= reach && uniform; ++dy)
                for (int dx = -reach; dx <= reach && uniform; ++dx) uniform = reference.at(x + dx, y + dy) == expected;
            if (!uniform) continue;
            ++compared;
            colours.insert(expected);
            const uint32_t actual = picture.at(x, y);
            if (!colourNear(actual, expected))
                problems << " (" << x << "," << y << ") is " << hexColour(actual) << " not " << hexColour(expected)
                         << ";";
        }
    }
    return problems.str();
}

TEST_F(RegionRecording, RecordsTheRegionAtItsSizeThenFollowsTheWindow) {
    startDesktop();
    // Two plain windows side by side; the region takes the right part of one and the left part of the
    // other, including openbox's border between them.
    auto left = openTestWindow({"--color", "2060C0", "--width", "300", "--height", "200", "--x", "100", "--y", "100"});
    auto right = openTestWindow({"--color", "E08020", "--width", "300", "--height", "200", "--x", "402", "--y", "100"});
    // The window named in the request lies elsewhere: a region need not be on it.
    auto named = openTestWindow({"--pattern", "quadrants", "--width", "320", "--height", "240", "--x", "1000", "--y",
                                 "600"});
    auto busy = openMovingPicture(1620, 980, 260, 60);
    ASSERT_NE(named.id, 0u);
    const PixelRect region{250, 150, 400, 160};
    auto reference = testsupport::grabScreen(desktop(), region.x, region.y, region.width, region.height);
    ASSERT_TRUE(reference) << "x11grab cannot read the screen";

    auto run = startRecording(windowRequest(
        named.id, R"("windowX":250,"windowY":150,"windowWidth":400,"windowHeight":160,)"));
    ASSERT_TRUE(run->waitForLine("Recording started", 15s)) << run->errorOutput();
    std::this_thread::sleep_for(2s);
    run->sendCommand("stop");
    ASSERT_EQ(run->waitForExit(30s), 0) << run->errorOutput();

    auto info = testsupport::probeMedia(outputPath());
    ASSERT_TRUE(info);
    const auto* video = info->firstOfType("video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, region.width);
    EXPECT_EQ(video->height, region.height);

    auto frames = decodeAllFrames(outputPath());
    ASSERT_FALSE(frames.empty());
    // The first frame comes before the tracker's first look, half a second after the start.
    int compared = 0;
    std::set<uint32_t> colours;
    EXPECT_EQ(regionMismatch(frames.front().picture, *reference, compared, colours), "") << "first frame";
    EXPECT_GE(compared, 200);
    EXPECT_TRUE(colours.count(0x2060C0) && colours.count(0xE08020)) << "the region shows both windows";

    // From the tracker's first look on, the crop is the named window, stretched to the region's size.
    int following = 0;
    for (const auto& frame : frames) {
        if (frame.time < 1.2) continue;
        ++following;
        std::string mismatch = quadrantsMismatch(frame.picture);
        EXPECT_EQ(mismatch, "") << "frame at " << frame.time << " s";
        if (!mismatch.empty()) break;
    }
    EXPECT_GE(following, 10);
}

TEST_F(RegionRecording, OddRegionSizeIsRoundedDownToEven) {
    startDesktop();
    auto named = openTestWindow({"--color", "40A040", "--width", "200", "--height", "150", "--x", "600", "--y", "300"});
    ASSERT_NE(named.id, 0u);
    auto run = startRecording(
        windowRequest(named.id, R"("windowX":11.5,"windowY":21,"windowWidth":333,"windowHeight":211,)"));
    ASSERT_TRUE(run->waitForLine("Recording started", 15s)) << run->errorOutput();
    run->sendCommand("stop");
    ASSERT_EQ(run->waitForExit(30s), 0) << run->errorOutput();
    auto info = testsupport::probeMedia(outputPath());
    ASSERT_TRUE(info);
    const auto* video = info->firstOfType("video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, 332);
    EXPECT_EQ(video->height, 210);
}

}  // namespace
}  // namespace e2ewindow
