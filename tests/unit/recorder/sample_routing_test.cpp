#include "tests/unit/recorder/recorder_test_fixture.hpp"

using namespace recorder::platform;
using R = recorder::ScreenCaptureRecorder;

TEST_F(RecorderTest, FirstScreenSampleAnchorsTheTimeline) {
    startRecording();
    deliverAudio(499.990);  // before any screen sample: dropped
    deliverVideo(500.000, FrameStatus::idle);  // anchors, then dropped for its status
    deliverVideo(500.017);
    deliverAudio(500.010);
    const auto video = inputOf(videoWriter(), MediaType::video);
    EXPECT_EQ(secondsOf(video->appendedTimes()), std::vector<double>{0.017});
    EXPECT_EQ(lines.outLines(), std::vector<std::string>{"Recording started"});
}

TEST_F(RecorderTest, FramesKeepStrictOrderAndClampAtZero) {
    startRecording();
    deliverVideo(100.000);
    deliverVideo(99.000);   // before the anchor: output time zero, same as the last frame → dropped
    deliverVideo(100.050);
    deliverVideo(100.050);  // equal output time → dropped
    deliverVideo(100.040);  // earlier → dropped
    deliverVideo(100.100);
    const auto video = inputOf(videoWriter(), MediaType::video);
    EXPECT_EQ(secondsOf(video->appendedTimes()), (std::vector<double>{0.0, 0.05, 0.1}));
    // The appended copy carries the new timing and the sample's own duration and image.
    const auto appended = video->appendedSamples();
    EXPECT_EQ(appended[1]->duration(), common::MediaTime::make(1, 60));
    EXPECT_TRUE(appended[1]->imageBuffer());
    EXPECT_EQ(recorder->withStateOnQueue([](R& r) { return r.frameCount; }), 3);
    EXPECT_EQ(lines.outLines(), std::vector<std::string>{"Recording started"});  // once per recording
}

TEST_F(RecorderTest, OnlyCompleteFramesAreWritten) {
    startRecording();
    deliverVideo(10.0);
    std::vector<std::optional<SampleAttachments>> unusable = {
        std::nullopt,
        SampleAttachments{},
        SampleAttachments{AttachmentDictionary{}},
        SampleAttachments{AttachmentDictionary{{"other", int64_t{0}}}},
        SampleAttachments{AttachmentDictionary{{kFrameInfoStatusKey, std::string("0")}}},
        SampleAttachments{AttachmentDictionary{{kFrameInfoStatusKey, 0.0}}},
        SampleAttachments{AttachmentDictionary{{kFrameInfoStatusKey, int64_t{2}}}},
    };
    double t = 10.0;
    for (auto& attachments : unusable) {
        t += 0.02;
        stream->deliver(fakeplatform::videoSampleWithAttachments(t, attachments), StreamOutputType::screen);
    }
    t += 0.02;
    stream->deliver(fakeplatform::videoSampleWithAttachments(
                        t, SampleAttachments{AttachmentDictionary{{kFrameInfoStatusKey, int64_t{0}}}, AttachmentDictionary{}}),
                    StreamOutputType::screen);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->appendedTimes().size(), 2u);
}

TEST_F(RecorderTest, BusyInputLosesTheFrameBeforeItIsRemembered) {
    startRecording();
    deliverVideo(1.0);
    const auto video = inputOf(videoWriter(), MediaType::video);
    const auto first = recorder->withStateOnQueue([](R& r) { return r.lastSampleBuffer; });
    video->ready = false;
    deliverVideo(1.1);
    EXPECT_EQ(recorder->withStateOnQueue([](R& r) { return r.lastSampleBuffer; }), first);
    video->ready = true;
    video->appendResult = false;
    deliverVideo(1.2);
    recorder->withStateOnQueue([&](R& r) {
        EXPECT_NE(r.lastSampleBuffer, first);  // replaced before the (refused) append
        EXPECT_EQ(r.lastVideoPresentationTime, common::MediaTime::zero());
        EXPECT_EQ(r.frameCount, 1);
        return 0;
    });
}

TEST_F(RecorderTest, WriterNotWritingDropsFrames) {
    startRecording();
    videoWriter()->setStatus(WriterStatus::failed);
    deliverVideo(1.0);
    EXPECT_TRUE(inputOf(videoWriter(), MediaType::video)->appendedTimes().empty());
    EXPECT_TRUE(lines.outLines().empty());
}

TEST_F(RecorderTest, SamplesBeforeTheSwitchToRecordingAreDropped) {
    // A stream delivering before the start has opened the gate: nothing reaches a writer.
    auto early = fakeplatform::videoSample(1.0);
    recorder->queue.sync([&] {
        fakeplatform::FakeCaptureStream dummy;
        recorder->streamDidOutputSampleBuffer(dummy, early, 0);
    });
    EXPECT_EQ(recorder->withStateOnQueue([](R& r) { return r.firstSampleTime; }), common::MediaTime::zero());
    startRecording();
    stream->deliver(SampleBuffer::makeInvalid(SampleTimingInfo{}), StreamOutputType::screen);
    EXPECT_EQ(recorder->withStateOnQueue([](R& r) { return r.firstSampleTime; }), common::MediaTime::zero());
}

TEST_F(RecorderTest, FrameDurationPreference) {
    EXPECT_EQ(recorder->frameDuration(nullptr), common::MediaTime::make(1, 60));
    auto invalidDuration = fakeplatform::videoSample(1.0, FrameStatus::complete, common::MediaTime::invalid());
    EXPECT_EQ(recorder->frameDuration(invalidDuration), common::MediaTime::make(1, 60));
    recorder->queue.sync([&] { recorder->lastVideoDuration = common::MediaTime::make(1, 30); });
    EXPECT_EQ(recorder->frameDuration(invalidDuration), common::MediaTime::make(1, 30));
    auto own = fakeplatform::videoSample(1.0, FrameStatus::complete, common::MediaTime::make(1, 120));
    EXPECT_EQ(recorder->frameDuration(own), common::MediaTime::make(1, 120));
}

TEST_F(RecorderTest, WaitUntilReadyIsBoundedAndNoticesAFailingWriter) {
    fakeplatform::FakeWriterInput input(MediaType::video);
    EXPECT_FALSE(recorder->waitUntilReady(input, nullptr));
    fakeplatform::FakeAssetWriter writer("/out/x.mp4", FileType::mpeg4);
    EXPECT_FALSE(recorder->waitUntilReady(input, &writer));  // not writing
    writer.startWriting();
    EXPECT_TRUE(recorder->waitUntilReady(input, &writer));
    input.ready = false;
    std::thread failer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        writer.setStatus(WriterStatus::failed);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(recorder->waitUntilReady(input, &writer));
    failer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(RecorderTest, StreamErrorIsReportedOnceAndChangesNothing) {
    startRecording();
    deliverVideo(1.0);
    stream->failWith(common::Error{"X11Capture", 1, "the X display connection was lost"});
    EXPECT_EQ(lines.errLines(), std::vector<std::string>{"Error: the X display connection was lost"});
    EXPECT_TRUE(recorder->isRecording);
    deliverVideo(1.1);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->appendedTimes().size(), 2u);
}
