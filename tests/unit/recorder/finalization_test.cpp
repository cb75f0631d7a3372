#include "tests/unit/recorder/recorder_test_fixture.hpp"

#include <future>

using namespace recorder::platform;
using common::MediaTime;
using R = recorder::ScreenCaptureRecorder;

TEST_F(RecorderTest, StopWithoutRecordingIsRefused) {
    const auto result = recorder->finalizeCapture(false);
    ASSERT_FALSE(result.succeeded());
    EXPECT_EQ(result.error().code, 9);
    EXPECT_EQ(result.error().message, "No recording in progress");
    EXPECT_FALSE(result.interactiveStopParticipated);  // the requester's own flag
    EXPECT_EQ(recorder->stopCapture().error().code, 9);
}

TEST_F(RecorderTest, StopAppendsTheClosingFrameAndEndsTheSession) {
    startRecording();
    deliverVideo(1.000);
    deliverVideo(1.500);
    const auto result = recorder->finalizeCapture(true);
    ASSERT_TRUE(result.succeeded()) << result.error().message;
    EXPECT_EQ(result.outputPath(), "/out/a.mp4");
    EXPECT_TRUE(result.interactiveStopParticipated);
    EXPECT_EQ(stream->stopCount.load(), 1);
    const auto writer = videoWriter();
    const auto video = inputOf(writer, MediaType::video);
    EXPECT_EQ(secondsOf(video->appendedTimes()), (std::vector<double>{0.0, 0.5, 0.516667}));
    ASSERT_TRUE(writer->sessionEnd);
    EXPECT_NEAR(writer->sessionEnd->seconds(), 0.5 + 1.0 / 60, 1e-9);
    EXPECT_TRUE(video->finished.load());
    EXPECT_EQ(writer->finishCount, 1);
    recorder->withStateOnQueue([](R& r) {
        EXPECT_FALSE(r.isRecording);
        EXPECT_FALSE(r.isFinalizing);
        EXPECT_FALSE(r.assetWriter);
        EXPECT_FALSE(r.stream);
        EXPECT_FALSE(r.sessionStarted);
        EXPECT_EQ(r.frameCount, 0);
        EXPECT_FALSE(r.outputURL);
        EXPECT_TRUE(r.finalizationWaiters.empty());
        return 0;
    });
    // A later request finds nothing to finalise.
    EXPECT_EQ(recorder->finalizeCapture(true).error().code, 9);
}

TEST_F(RecorderTest, SessionEndFollowsInlineAudioForAtMostTwoSeconds) {
    struct Case {
        double lastAudioAt;  // presentation seconds of the last inline audio buffer (0.1 s long)
        double expectedEnd;
    };
    // Video: frames at 0 and 1 (1/60 s each) → video end 1.016667.
    for (const Case c : {Case{1.4, 1.5}, Case{6.0, 3.016667}, Case{0.5, 1.016667}}) {
        fakeplatform::FakePlatform platform;
        fakeplatform::RecordingLineSink sink;
        auto engine = R::make(platform.platform(), sink);
        ASSERT_FALSE(engine->startCapture(R"({"outputPath":"/out/a.mp4","capturesMicrophone":true})"));
        auto capture = platform.capture->lastStream();
        capture->deliver(fakeplatform::videoSample(10.0), StreamOutputType::screen);
        capture->deliver(fakeplatform::videoSample(11.0), StreamOutputType::screen);
        capture->deliver(fakeplatform::audioSample(10.0 + c.lastAudioAt, MediaTime::make(4800, 48000)),
                         StreamOutputType::microphone);
        ASSERT_TRUE(engine->finalizeCapture(true).succeeded());
        const auto end = platform.writer->writerFor("/out/a.mp4")->sessionEnd;
        ASSERT_TRUE(end);
        EXPECT_NEAR(end->seconds(), c.expectedEnd, 1e-6) << c.lastAudioAt;
    }
}

TEST_F(RecorderTest, RecordingWithoutFramesEndsAtTheInlineAudioWithinTheLimit) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesMicrophone":true})");
    // No frame: audio is never anchored, so nothing is written and the session ends at zero.
    deliverAudio(1.0, StreamOutputType::microphone);
    ASSERT_TRUE(recorder->finalizeCapture(true).succeeded());
    EXPECT_EQ(videoWriter()->sessionEnd, MediaTime::zero());
    EXPECT_TRUE(inputOf(videoWriter(), MediaType::video)->appendedTimes().empty());
}

TEST_F(RecorderTest, ClosingFrameIsSkippedWhenTheInputStaysBusy) {
    startRecording();
    deliverVideo(1.0);
    inputOf(videoWriter(), MediaType::video)->ready = false;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder->finalizeCapture(true).succeeded());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));  // about 100 polls of 10 ms
    EXPECT_EQ(inputOf(videoWriter(), MediaType::video)->appendedTimes().size(), 1u);
    EXPECT_NEAR(videoWriter()->sessionEnd->seconds(), 1.0 / 60, 1e-9);
}

TEST_F(RecorderTest, WritersFinishInOrderAndTheFirstFailureDecides) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"capturesMicrophone":true,
        "systemAudioOutputPath":"/out/s.m4a","microphoneOutputPath":"/out/m.m4a"})");
    deliverVideo(1.0);
    const auto microphone = fake.writer->writerFor("/out/m.m4a");
    microphone->statusAfterFinish = WriterStatus::failed;
    microphone->setError(common::Error{"MediaWriter", 28, "cannot write /out/m.m4a: No space left on device"});
    const auto result = recorder->finalizeCapture(true);
    ASSERT_FALSE(result.succeeded());
    EXPECT_EQ(result.error().message, "cannot write /out/m.m4a: No space left on device");
    EXPECT_EQ(videoWriter()->finishOrder, 0);
    EXPECT_EQ(fake.writer->writerFor("/out/s.m4a")->finishOrder, 1);
    EXPECT_EQ(microphone->finishOrder, 2);
    // The reset happens on failure too.
    EXPECT_FALSE(recorder->withStateOnQueue([](R& r) { return r.assetWriter != nullptr || r.microphoneOnlyWriter != nullptr; }));
}

TEST_F(RecorderTest, WriterThatFailedDuringTheRecordingIsNamedByItsStatus) {
    startRecording();
    deliverVideo(1.0);
    videoWriter()->setStatus(WriterStatus::failed);
    const auto result = recorder->finalizeCapture(true);
    ASSERT_FALSE(result.succeeded());
    EXPECT_EQ(result.error().code, 10);
    EXPECT_EQ(result.error().message, "Recording could not be finalized (writer status 3)");
    EXPECT_EQ(videoWriter()->finishCount, 0);  // not writing: not finished
}

TEST_F(RecorderTest, OverlappingRequestsShareOneRunInArrivalOrder) {
    startRecording();
    deliverVideo(1.0);
    stream->holdStop();
    std::vector<int> resumedOrder;
    std::mutex orderMutex;
    auto request = [&](int id, bool interactive) {
        const auto result = recorder->finalizeCapture(interactive);
        std::lock_guard lock(orderMutex);
        resumedOrder.push_back(id);
        return result;
    };
    auto tracker = std::async(std::launch::async, request, 1, false);
    ASSERT_TRUE(stream->waitUntilStopRequested(std::chrono::seconds(2)));
    auto stop = std::async(std::launch::async, request, 2, true);
    // Let the second request join before the run ends.
    for (int i = 0; i < 200 && recorder->withStateOnQueue([](R& r) { return r.finalizationWaiters.size(); }) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stream->releaseStop();
    const auto first = tracker.get();
    const auto second = stop.get();
    EXPECT_TRUE(first.succeeded());
    EXPECT_EQ(first.outputPath(), second.outputPath());
    EXPECT_TRUE(first.interactiveStopParticipated);  // the interactive flag is ORed in for everyone
    EXPECT_TRUE(second.interactiveStopParticipated);
    EXPECT_EQ(stream->stopCount.load(), 1);
    EXPECT_EQ(videoWriter()->finishCount, 1);
    EXPECT_EQ(resumedOrder.size(), 2u);
}

TEST_F(RecorderTest, WhatWasCapturedBeforeTheStopStillReachesTheFilesWhileTheStreamStops) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"systemAudioOutputPath":"/out/s.m4a"})");
    deliverVideo(10.000);
    deliverAudio(10.000);
    stream->holdStop();
    fake.setHostTime(11.000);
    auto finishing = std::async(std::launch::async, [this] { return recorder->finalizeCapture(true); });
    ASSERT_TRUE(stream->waitUntilStopRequested(std::chrono::seconds(2)));
    // Still on its way when the stop took effect: the last sound and a frame captured before it.
    deliverAudio(10.990);
    deliverVideo(10.995);
    // Captured after the stop: not the recording's any more.
    deliverAudio(11.001);
    deliverVideo(11.010);
    stream->releaseStop();
    ASSERT_TRUE(finishing.get().succeeded());

    const auto video = inputOf(videoWriter(), MediaType::video);
    ASSERT_EQ(video->appendedTimes().size(), 3u);  // the two frames and the closing frame
    EXPECT_NEAR(video->appendedTimes()[1].seconds(), 0.995, 1e-9);
    EXPECT_NEAR(video->appendedTimes()[2].seconds(), 0.995 + 1.0 / 60, 1e-9);
    const std::vector<double> sound{0.0, 0.990};
    EXPECT_EQ(secondsOf(inputOf(fake.writer->writerFor("/out/s.m4a"), MediaType::audio)->appendedTimes()), sound);
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::audio)->appendedTimes()), sound);

    // Once the stream has stopped, nothing more is routed, whenever it was captured.
    deliverAudio(10.999);
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::audio)->appendedTimes()), sound);
}
