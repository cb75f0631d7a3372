#include "tests/unit/recorder/recorder_test_fixture.hpp"

using namespace recorder::platform;
using common::Rect;
using R = recorder::ScreenCaptureRecorder;

namespace {

void deliverFrameOfSize(fakeplatform::FakeCaptureStream& stream, double seconds, int width, int height) {
    stream.deliver(fakeplatform::videoSample(seconds, FrameStatus::complete, common::MediaTime::make(1, 60), width, height),
                   StreamOutputType::screen);
}

}  // namespace

TEST_F(RecorderTest, CropArithmeticOfTheWorkedExample) {
    ShareableContent content;
    content.displays = {Display{7, Rect{0, 0, 1440, 900}}};
    content.windows = {Window{9, Rect{100, 50, 800, 600}, 1}};
    fake.capture->setContent(content);
    fake.capture->modes[7] = DisplayMode{2880, 1440};
    startRecording(R"({"windowId":9,"outputPath":"/out/w.mp4"})");
    deliverFrameOfSize(*stream, 1.0, 2880, 1800);
    const auto renders = fake.image->renders();
    ASSERT_EQ(renders.size(), 1u);
    EXPECT_NEAR(renders[0].crop.x, 200, 1e-9);
    EXPECT_NEAR(renders[0].crop.y, 500, 1e-9);  // from the bottom: 1800 × (1 − 0.7222…)
    EXPECT_NEAR(renders[0].crop.width, 1600, 1e-9);
    EXPECT_NEAR(renders[0].crop.height, 1200, 1e-9);
    EXPECT_EQ(renders[0].destinationWidth, 1600);
    EXPECT_EQ(renders[0].destinationHeight, 1200);
    const auto appended = fake.writer->lastAdaptor->appended();
    ASSERT_EQ(appended.size(), 1u);
    EXPECT_EQ(appended[0].second, common::MediaTime::zero());
    EXPECT_EQ(recorder->withStateOnQueue([](R& r) { return r.lastCroppedPixelBuffer; }), appended[0].first);
    EXPECT_EQ(lines.outLines(), std::vector<std::string>{"Recording started"});
}

TEST_F(RecorderTest, CropAtTheTopComesFromTheTopRows) {
    ShareableContent content;
    content.displays = {Display{1, Rect{0, 0, 1000, 800}}};
    content.windows = {Window{3, Rect{0, 0, 500, 200}, 1}};
    fake.capture->setContent(content);
    startRecording(R"({"windowId":3,"outputPath":"/out/w.mp4"})");
    deliverFrameOfSize(*stream, 1.0, 1000, 800);
    // Seen from the bottom, the top 200 rows start at 800 − 200 = 600.
    EXPECT_NEAR(fake.image->renders().at(0).crop.y, 600, 1e-9);
    // The tracker's rectangle is read anew for every frame, also for another frame size.
    recorder->queue.sync([&] { recorder->windowCropRect = Rect{0.5, 0.5, 0.5, 0.25}; });
    deliverFrameOfSize(*stream, 1.1, 2000, 1000);
    const auto second = fake.image->renders().at(1);
    EXPECT_NEAR(second.crop.x, 1000, 1e-9);
    EXPECT_NEAR(second.crop.y, 250, 1e-9);
    EXPECT_NEAR(second.crop.width, 1000, 1e-9);
    EXPECT_EQ(second.destinationWidth, 500);  // the output size never changes
}

TEST_F(RecorderTest, RefusedCroppedAppendKeepsTheLastGoodBuffer) {
    ShareableContent content;
    content.displays = {Display{1, Rect{0, 0, 100, 100}}};
    content.windows = {Window{3, Rect{10, 10, 50, 50}, 1}};
    fake.capture->setContent(content);
    startRecording(R"({"windowId":3,"outputPath":"/out/w.mp4"})");
    deliverFrameOfSize(*stream, 1.0, 100, 100);
    const auto good = recorder->withStateOnQueue([](R& r) { return r.lastCroppedPixelBuffer; });
    ASSERT_TRUE(good);
    fake.writer->lastAdaptor->appendResult = false;
    deliverFrameOfSize(*stream, 1.1, 100, 100);
    recorder->withStateOnQueue([&](R& r) {
        EXPECT_EQ(r.lastCroppedPixelBuffer, good);
        EXPECT_EQ(r.frameCount, 1);  // a refused crop is not counted and not appended plainly
        return 0;
    });
    EXPECT_TRUE(inputOf(videoWriter(), MediaType::video)->appendedTimes().empty());
}

TEST_F(RecorderTest, NoPoolBeforeWritingAndEmptyCropsAreRefused) {
    ShareableContent content;
    content.displays = {Display{1, Rect{0, 0, 100, 100}}};
    content.windows = {Window{3, Rect{10, 10, 50, 50}, 1}};
    fake.capture->setContent(content);
    startRecording(R"({"windowId":3,"outputPath":"/out/w.mp4"})");
    videoWriter()->setStatus(WriterStatus::unknown);
    EXPECT_FALSE(fake.writer->lastAdaptor->pixelBufferPool());
    videoWriter()->setStatus(WriterStatus::writing);
    recorder->queue.sync([&] { recorder->windowCropRect = Rect{0.1, 0.1, 0, 0.5}; });
    deliverFrameOfSize(*stream, 1.0, 100, 100);
    EXPECT_TRUE(fake.image->renders().empty());
    EXPECT_TRUE(fake.writer->lastAdaptor->appended().empty());
}
