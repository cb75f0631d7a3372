#include "tests/unit/recorder/recorder_test_fixture.hpp"

using namespace recorder::platform;
using common::Rect;
using R = recorder::ScreenCaptureRecorder;

namespace {

ShareableContent twoDisplays() {
    ShareableContent content;
    content.displays = {Display{1, Rect{0, 0, 1920, 1080}}, Display{2, Rect{1920, 0, 1920, 1080}}};
    content.windows = {Window{100, Rect{100, 50, 801, 601}, 41}, Window{200, Rect{1800, 100, 400, 300}, 42},
                       Window{300, Rect{1700, 900, 400, 300}, 43}};
    content.applications = {Application{41}, Application{42}, Application{43}};
    return content;
}

}  // namespace

TEST(CaptureDisplay, MidpointThenLargestOverlapThenFirst) {
    const std::vector<Display> displays{Display{1, Rect{0, 0, 100, 100}}, Display{2, Rect{100, 0, 100, 100}}};
    EXPECT_EQ(R::captureDisplay(Rect{10, 10, 20, 20}, displays)->displayID, 1u);
    // Midpoint exactly on the shared edge (x = 100) belongs to the display whose minimum edge it is.
    EXPECT_EQ(R::captureDisplay(Rect{50, 10, 100, 20}, displays)->displayID, 2u);
    // Midpoint below both displays: the larger overlap wins, ties go to the first listed.
    EXPECT_EQ(R::captureDisplay(Rect{60, 90, 60, 100}, displays)->displayID, 1u);
    EXPECT_EQ(R::captureDisplay(Rect{80, 90, 60, 100}, displays)->displayID, 2u);
    EXPECT_EQ(R::captureDisplay(Rect{50, 90, 100, 100}, displays)->displayID, 1u);
    EXPECT_FALSE(R::captureDisplay(Rect{500, 500, 10, 10}, displays));
    // Touching along an edge is not an overlap.
    EXPECT_FALSE(R::captureDisplay(Rect{200, 0, 10, 10}, displays));
}

TEST_F(RecorderTest, DisplayCaptureUsesThePixelScale) {
    ShareableContent content;
    content.displays = {Display{5, Rect{0, 0, 1440, 900}}};
    fake.capture->setContent(content);
    fake.capture->mainDisplay = 5;
    fake.capture->modes[5] = DisplayMode{2880, 1440};
    startRecording();
    EXPECT_EQ(stream->configuration.width, 2880);
    EXPECT_EQ(stream->configuration.height, 1800);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->width, 2880);
}

TEST_F(RecorderTest, OddDisplaySizesStayOddAndTinyOnesBecomeTwo) {
    ShareableContent content;
    content.displays = {Display{5, Rect{0, 0, 1365, 2.5}}};
    fake.capture->setContent(content);
    startRecording(R"({"displayId":5,"outputPath":"/out/a.mp4"})");
    EXPECT_EQ(stream->configuration.width, 1365);
    EXPECT_EQ(stream->configuration.height, 2);
    EXPECT_FALSE(recorder->withStateOnQueue([](R& r) { return r.windowCropRect.has_value(); }));
}

TEST_F(RecorderTest, WindowCaptureCropsItsDisplayAndRoundsToEven) {
    fake.capture->setContent(twoDisplays());
    startRecording(R"({"windowId":100,"displayId":2,"excludedProcessIds":[42,42,999],"outputPath":"/out/w.mp4"})");
    EXPECT_EQ(stream->filter.display.displayID, 1u);  // the request's displayId is ignored
    ASSERT_EQ(stream->filter.excludedApplications.size(), 1u);
    EXPECT_EQ(stream->filter.excludedApplications[0].processID, 42);
    EXPECT_EQ(stream->configuration.pixelFormat, kPixelFormatBGRA);
    EXPECT_EQ(stream->configuration.width, 1920);
    const auto video = inputOf(videoWriter(), MediaType::video);
    EXPECT_EQ(video->videoSettings->width, 800);
    EXPECT_EQ(video->videoSettings->height, 600);
    ASSERT_TRUE(fake.writer->lastAdaptor);
    EXPECT_EQ(fake.writer->lastAdaptor->attributes.width, 800);
    recorder->withStateOnQueue([](R& r) {
        EXPECT_EQ(r.windowCropDisplayId, 1u);
        EXPECT_DOUBLE_EQ(r.windowCropRect->x, 100.0 / 1920);
        EXPECT_DOUBLE_EQ(r.windowCropRect->width, 801.0 / 1920);
        EXPECT_EQ(r.trackedWindowId, 100u);
        EXPECT_EQ(r.excludedProcessIds, (std::set<int32_t>{42, 999}));
        return 0;
    });
}

TEST_F(RecorderTest, WindowAcrossDisplaysIsCroppedToItsVisiblePart) {
    fake.capture->setContent(twoDisplays());
    startRecording(R"({"windowId":200,"outputPath":"/out/w.mp4"})");
    // Midpoint x = 2000 lies on display 2; only the part from 1920 on is kept.
    EXPECT_EQ(stream->filter.display.displayID, 2u);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->width, 280);
    recorder->withStateOnQueue([](R& r) {
        EXPECT_DOUBLE_EQ(r.windowCropRect->x, 0.0);
        EXPECT_DOUBLE_EQ(r.windowCropRect->y, 100.0 / 1080);
        return 0;
    });
}

TEST_F(RecorderTest, WindowStickingOutBelowKeepsOnlyTheVisibleRows) {
    fake.capture->setContent(twoDisplays());
    startRecording(R"({"windowId":300,"outputPath":"/out/w.mp4"})");
    // The midpoint (1900, 1050) lies on display 1; the window reaches past its right and bottom edges.
    EXPECT_EQ(stream->filter.display.displayID, 1u);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->width, 220);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->height, 180);
}

TEST_F(RecorderTest, RegionReplacesTheWindowFrameOnlyWhenComplete) {
    fake.capture->setContent(twoDisplays());
    startRecording(R"({"windowId":100,"windowX":2000,"windowY":10,"windowWidth":300,"windowHeight":200,"outputPath":"/out/r.mp4"})");
    EXPECT_EQ(stream->filter.display.displayID, 2u);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->width, 300);

    auto platform = fakeplatform::FakePlatform();
    platform.capture->setContent(twoDisplays());
    auto engine = R::make(platform.platform(), lines);
    ASSERT_FALSE(engine->startCapture(
        R"({"windowId":100,"windowX":2000,"windowY":10,"windowWidth":0,"windowHeight":200,"outputPath":"/out/z.mp4"})"));
    EXPECT_EQ(platform.capture->lastStream()->filter.display.displayID, 1u);  // width 0: the window's frame
}

TEST_F(RecorderTest, RegionWithoutWindowRecordsTheWholeDisplay) {
    fake.capture->setContent(twoDisplays());
    startRecording(R"({"windowX":10,"windowY":10,"windowWidth":300,"windowHeight":200,"displayId":2,"outputPath":"/out/d.mp4"})");
    EXPECT_EQ(stream->filter.display.displayID, 2u);
    EXPECT_EQ(stream->configuration.pixelFormat, kPixelFormat420v);
    EXPECT_FALSE(fake.writer->lastAdaptor);
}

TEST_F(RecorderTest, WorkedCropExampleAtPixelScaleTwo) {
    ShareableContent content;
    content.displays = {Display{7, Rect{0, 0, 1440, 900}}};
    content.windows = {Window{9, Rect{100, 50, 800, 600}, 1}};
    fake.capture->setContent(content);
    fake.capture->modes[7] = DisplayMode{2880, 1440};
    startRecording(R"({"windowId":9,"outputPath":"/out/w.mp4"})");
    EXPECT_EQ(stream->configuration.width, 2880);
    EXPECT_EQ(stream->configuration.height, 1800);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->width, 1600);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->videoSettings->height, 1200);
}
