#include "tests/e2e_recorder/recording_fixture.hpp"
#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace e2e_recorder {
namespace {

using testsupport::decodeFrameAt;
using testsupport::probeMedia;
using testsupport::RgbFrame;

std::string stoppedLine(const std::string& path) { return "Recording stopped. Output path: " + path; }

// Records for `length` and stops with "stop"; checks the two lines and the exit status.
void recordAndStop(RecorderRun& run, const std::string& output, std::chrono::milliseconds length) {
    ASSERT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
    std::this_thread::sleep_for(length);
    run.stop();
    EXPECT_EQ(run.nextLine(), stoppedLine(output));
    auto outcome = run.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Recording started\n" + stoppedLine(output) + "\n");
    EXPECT_EQ(outcome.err, "");
}

// What every display recording must be: H.264 in 4:2:0 (High 4:4:4 is refused by many players),
// tagged BT.709 throughout, video range, of the display's size, decodable without a single error.
void expectPlayableDisplayVideo(const std::string& path, int width, int height) {
    auto info = probeMedia(path);
    ASSERT_TRUE(info) << "ffprobe cannot read " << path;
    const auto* video = info->firstOfType("video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codecName, "h264");
    EXPECT_EQ(video->pixelFormat, "yuv420p");
    EXPECT_TRUE(video->profile == "High" || video->profile == "Main" || video->profile == "Constrained Baseline")
        << video->profile;
    EXPECT_EQ(video->width, width);
    EXPECT_EQ(video->height, height);
    EXPECT_EQ(video->colorPrimaries, "bt709");
    EXPECT_EQ(video->colorTransfer, "bt709");
    EXPECT_EQ(video->colorSpace, "bt709");
    EXPECT_EQ(video->colorRange, "tv");
    // Both the stream and the container say so: players read one or the other.
    auto streamTags = streamColourTags(path);
    ASSERT_TRUE(streamTags);
    EXPECT_EQ(streamTags->primaries, "bt709");
    EXPECT_EQ(streamTags->transfer, "bt709");
    EXPECT_EQ(streamTags->matrix, "bt709");
    EXPECT_EQ(containerColourCodes(path), (std::array<int, 3>{1, 1, 1}));
    EXPECT_EQ(info->firstOfType("audio"), nullptr) << "no audio was asked for";
    std::string errors;
    EXPECT_TRUE(decodesWithoutErrors(path, &errors)) << errors;
}

int channelDistance(uint32_t a, uint32_t b) {
    int worst = 0;
    for (int shift : {16, 8, 0})
        worst = std::max(worst, std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)));
    return worst;
}

// Flat areas survive BT.709 video-range YUV 4:2:0 and the encoder within a few steps per channel.
constexpr int colourTolerance = 6;

std::string hex(uint32_t colour) {
    char text[8];
    std::snprintf(text, sizeof text, "%06X", colour);
    return text;
}

// Where along a line of pixels the picture turns from `before` to `after` colour: the first position
// closer to `after`. `at(i)` gives the pixel at step i of the line.
template <typename PixelAt>
std::optional<int> edgeAlong(PixelAt at, int from, int to, uint32_t after) {
    for (int i = from; i <= to; ++i)
        if (channelDistance(at(i), after) <= 0x40) return i;
    return std::nullopt;
}

// The rectangle shows `colour` and lies exactly at `place`: its four edges are found within a pixel of
// where they belong (chroma is shared by 2x2 pixels), its inside is the colour, and beyond the reach
// of the encoder's ringing around the edges the `outside` colour shows.
void expectRectangleAt(const RgbFrame& frame, const WindowPlace& place, uint32_t colour, uint32_t outside) {
    const int left = place.x, top = place.y, right = place.x + place.width - 1, bottom = place.y + place.height - 1;
    constexpr int search = 12, clearOfEdges = 4, clearOfRinging = 8;
    int mismatches = 0;
    auto report = [&](const std::string& what) {
        if (++mismatches <= 10) ADD_FAILURE() << what;
    };
    auto inFrame = [&](int x, int y) { return x >= 0 && y >= 0 && x < frame.width && y < frame.height; };

    for (int y = top + clearOfEdges; y <= bottom - clearOfEdges; y += 37) {
        auto row = [&](int x) { return frame.at(x, y); };
        if (auto edge = edgeAlong(row, std::max(0, left - search), left + search, colour); !edge || std::abs(*edge - left) > 1)
            report("row " + std::to_string(y) + ": left edge at " + (edge ? std::to_string(*edge) : "none") +
                   ", expected " + std::to_string(left));
        auto backwards = [&](int i) { return frame.at(right + search - i, y); };
        if (auto edge = edgeAlong(backwards, 0, 2 * search, colour); !edge || std::abs(right + search - *edge - right) > 1)
            report("row " + std::to_string(y) + ": right edge at " +
                   (edge ? std::to_string(right + search - *edge) : "none") + ", expected " + std::to_string(right));
    }
    for (int x = left + clearOfEdges; x <= right - clearOfEdges; x += 37) {
        auto column = [&](int y) { return frame.at(x, y); };
        if (auto edge = edgeAlong(column, std::max(0, top - search), top + search, colour); !edge || std::abs(*edge - top) > 1)
            report("column " + std::to_string(x) + ": top edge at " + (edge ? std::to_string(*edge) : "none") +
                   ", expected " + std::to_string(top));
        auto upwards = [&](int i) { return frame.at(x, bottom + search - i); };
        if (auto edge = edgeAlong(upwards, 0, 2 * search, colour); !edge || std::abs(bottom + search - *edge - bottom) > 1)
            report("column " + std::to_string(x) + ": bottom edge at " +
                   (edge ? std::to_string(bottom + search - *edge) : "none") + ", expected " + std::to_string(bottom));
    }

    auto check = [&](int x, int y, uint32_t expected, const char* where) {
        if (!inFrame(x, y)) return;
        const uint32_t seen = frame.at(x, y);
        if (channelDistance(seen, expected) > colourTolerance)
            report(std::string(where) + " pixel (" + std::to_string(x) + "," + std::to_string(y) + ") is " + hex(seen) +
                   ", expected " + hex(expected));
    };
    for (int x = left + clearOfEdges; x <= right - clearOfEdges; x += 7)
        for (int y = top + clearOfEdges; y <= bottom - clearOfEdges; y += 7) check(x, y, colour, "inside");
    for (int x = left - clearOfRinging; x <= right + clearOfRinging; x += 7) {
        check(x, top - clearOfRinging, outside, "above");
        check(x, bottom + clearOfRinging, outside, "below");
    }
    for (int y = top - clearOfRinging; y <= bottom + clearOfRinging; y += 7) {
        check(left - clearOfRinging, y, outside, "left of");
        check(right + clearOfRinging, y, outside, "right of");
    }
    EXPECT_EQ(mismatches, 0);
}

class DisplayRecording : public RecordingTest {};

TEST_F(DisplayRecording, MovingContentGivesAPlayableBt709H264FileAsLongAsTheRecording) {
    startDesktop();
    addMovingPicture();
    const auto output = outputPath("moving.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    recordAndStop(run, output, 3s);

    expectPlayableDisplayVideo(output, 1920, 1080);
    auto info = probeMedia(output);
    ASSERT_TRUE(info);
    const auto* video = info->firstOfType("video");
    ASSERT_NE(video, nullptr);
    EXPECT_NE(info->majorBrand, "qt  ") << "an .mp4 path gives an MPEG-4 file, not a QuickTime movie";

    // The file's time zero is the first frame, captured before "Recording started" reached us; it ends
    // one frame after the last frame captured before the stream stopped, after "stop" was written. So
    // it is no shorter than what we observed, less a frame (or less the longest gap between frames,
    // when the busy machine starved the capture just before the stop). It is longer by two hops: frame
    // to line at the start, line to the stream's stop at the end. Each goes through the recorder's
    // queues and a pipe, as does the stop's round trip (until "Recording stopped" is read), which also
    // includes finishing the file: that round trip, measured under the same load, bounds each hop.
    const double observed = run.observedSeconds();
    const double hop = run.stopRoundTripSeconds();
    const auto times = videoPacketTimes(output);
    ASSERT_EQ(static_cast<int64_t>(times.size()), video->frameCount);
    RecordProperty("observed_seconds", std::to_string(observed));
    RecordProperty("file_seconds", std::to_string(video->duration));
    RecordProperty("stop_round_trip_seconds", std::to_string(hop));
    RecordProperty("longest_gap_seconds", std::to_string(longestGap(times)));
    EXPECT_GE(video->duration, observed - shortfallAllowance(times));
    EXPECT_LE(video->duration, observed + frameSeconds + 2 * hop) << "observed " << observed << " s, hop " << hop;
    EXPECT_NEAR(info->duration, video->duration, frameSeconds);

    // Every picture of the moving content is new. A recorder that keeps up writes 60 a second; the
    // shared test machines can starve it, so the count only has to be plausible, and the frame gaps
    // show the 60 Hz pacing: a recorder paced at 30 Hz would have no gap shorter than 33 ms.
    RecordProperty("frames_per_second", std::to_string(static_cast<double>(times.size()) / video->duration));
    EXPECT_LE(video->frameCount, static_cast<int64_t>(std::ceil(60 * video->duration)) + 2);
#ifndef E2E_SANITIZED_RECORDER
    EXPECT_GE(video->frameCount, static_cast<int64_t>(20 * observed)) << "over " << observed << " s";
    EXPECT_GE(shareOfGapsWithin(times, 1.5 * frameSeconds), 0.1);
#endif
}

TEST_F(DisplayRecording, AStaticScreenEndsProperlyWithFewFrames) {
    startDesktop();
    addClient("test-window", {"--color", "3070C0", "--x", "200", "--y", "150"});
    const auto output = outputPath("static.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    recordAndStop(run, output, 3s);

    expectPlayableDisplayVideo(output, 1920, 1080);
    auto info = probeMedia(output);
    ASSERT_TRUE(info);
    const auto* video = info->firstOfType("video");
    ASSERT_NE(video, nullptr);
    const auto times = videoPacketTimes(output);
    ASSERT_FALSE(times.empty());
    EXPECT_EQ(times.front(), 0.0) << "the recording starts with a picture";
    RecordProperty("frames", std::to_string(times.size()));
    RecordProperty("file_seconds", std::to_string(video->duration));

    // Nothing changes, so after the capture's first moments (when every frame is delivered, for a
    // writer that opens a little after the stream) the frames are idle and are not encoded: only
    // the capture's occasional refresh of a still picture (once a second) is, never 60 a second.
    const double settled = 1.0;
    const auto later = std::count_if(times.begin(), times.end(), [&](double t) { return t >= settled; });
    EXPECT_LE(later, static_cast<long>(std::ceil(5 * (video->duration - settled))) + 1)
        << "an unchanged screen must not be encoded 60 times a second";
    EXPECT_LT(times.size(), static_cast<size_t>(60 * run.observedSeconds() / 3));
    // The file ends one frame after its last picture: at most the refresh interval before the stop.
    EXPECT_GE(video->duration, run.observedSeconds() - 1.0 - frameSeconds);
}

TEST_F(DisplayRecording, AWindowOfAKnownColourAppearsAtItsPlace) {
    // No window manager: nothing but the window and the root's solid colour is on screen.
    startDesktop({.windowManager = false});
    constexpr uint32_t background = 0x405060, windowColour = 0xC03070;
    ASSERT_EQ(desktop_->run("xsetroot -solid '#405060'").status, 0);
    auto& window = addClient("test-window", {"--color", "C03070", "--width", "400", "--height", "300", "--x", "300",
                                             "--y", "200"});
    auto place = windowPlace(*desktop_, window.windowId);
    ASSERT_TRUE(place);
    ASSERT_EQ(place->width, 400);

    const auto output = outputPath("pixels.mp4");
    RecorderRun run(*desktop_, displayRequest(output), directory_);
    recordAndStop(run, output, 500ms);

    auto frame = decodeFrameAt(output, 0);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->width, 1920);
    expectRectangleAt(*frame, *place, windowColour, background);
}

TEST_F(DisplayRecording, TheSecondOfTwoMonitorsIsRecordedOnItsOwn) {
    startDesktop({.screenWidth = 3840,
                  .screenHeight = 1080,
                  .windowManager = false,
                  .monitors = {{"DISP1", 0, 0, 1920, 1080}, {"DISP2", 1920, 0, 1920, 1080}}});
    ASSERT_EQ(desktop_->run("xsetroot -solid '#405060'").status, 0);
    constexpr uint32_t background = 0x405060, secondColour = 0xC03070;
    auto& first = addClient("test-window", {"--color", "20C040", "--width", "400", "--height", "300", "--x", "300",
                                            "--y", "200"});
    auto& second = addClient("test-window", {"--color", "C03070", "--width", "500", "--height", "250", "--x", "2520",
                                             "--y", "400"});
    auto firstPlace = windowPlace(*desktop_, first.windowId);
    auto secondPlace = windowPlace(*desktop_, second.windowId);
    ASSERT_TRUE(firstPlace && secondPlace);
    ASSERT_GE(secondPlace->x, 1920);

    // A RandR monitor's display identifier is its name atom.
    auto atom = desktop_->run("xlsatoms -name DISP2");
    ASSERT_EQ(atom.status, 0) << atom.errorOutput;
    const std::string displayId = atom.output.substr(0, atom.output.find_first_of("\t "));
    ASSERT_FALSE(displayId.empty());

    const auto output = outputPath("second.mp4");
    RecorderRun run(*desktop_, displayRequest(output, R"(,"displayId":)" + displayId), directory_);
    recordAndStop(run, output, 500ms);

    expectPlayableDisplayVideo(output, 1920, 1080);
    auto frame = decodeFrameAt(output, 0);
    ASSERT_TRUE(frame);
    WindowPlace onMonitor = *secondPlace;
    onMonitor.x -= 1920;
    expectRectangleAt(*frame, onMonitor, secondColour, background);
    // Where the first monitor's window would be if the wrong half had been grabbed, the background shows.
    EXPECT_LE(channelDistance(frame->at(firstPlace->x + 200, firstPlace->y + 150), background), colourTolerance);
}

}  // namespace
}  // namespace e2e_recorder
