#include "tests/unit/recorder/recorder_test_fixture.hpp"

using namespace recorder::platform;
using R = recorder::ScreenCaptureRecorder;

namespace {

const char* kBothSources = R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"capturesMicrophone":true,
    "systemAudioOutputPath":"/out/s.m4a","microphoneOutputPath":"/out/m.m4a"})";

}  // namespace

TEST_F(RecorderTest, PausedSpanIsCutOutAtTheFirstFrameAfterResume) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"systemAudioOutputPath":"/out/s.m4a"})");
    deliverVideo(1000.000);
    deliverVideo(1010.000);
    fake.setHostTime(1010.010);
    EXPECT_TRUE(recorder->pauseCapture());
    deliverVideo(1012.000);  // paused: dropped
    fake.setHostTime(1015.000);
    EXPECT_TRUE(recorder->resumeCapture());
    deliverAudio(1015.005);  // resuming: audio waits for the first frame
    deliverVideo(1015.020);
    deliverAudio(1015.030);
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::video)->appendedTimes()),
              (std::vector<double>{0.0, 10.0, 10.010}));
    EXPECT_EQ(secondsOf(inputOf(fake.writer->writerFor("/out/s.m4a"), MediaType::audio)->appendedTimes()),
              std::vector<double>{10.020});
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::audio)->appendedTimes()), std::vector<double>{10.020});
}

// The capture stamps a sample when it grabs it and hands it over later: what was grabbed during a
// pause can arrive after the resume, and must not reach a file nor end the cut.
TEST_F(RecorderTest, SamplesCapturedWhilePausedButDeliveredAfterTheResumeAreDropped) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"systemAudioOutputPath":"/out/s.m4a"})");
    const auto pendingAndCut = [this] {
        return recorder->withStateOnQueue([](R& r) {
            return std::pair{r.pendingResumeAdjustment, r.accumulatedPausedDuration.seconds()};
        });
    };
    deliverVideo(1000.000);
    deliverVideo(1010.000);
    fake.setHostTime(1010.010);
    ASSERT_TRUE(recorder->pauseCapture());
    fake.setHostTime(1015.000);
    ASSERT_TRUE(recorder->resumeCapture());
    deliverVideo(1014.990);  // grabbed while paused: no adjustment from it
    deliverAudio(1014.995);
    EXPECT_EQ(pendingAndCut(), std::pair(true, 0.0));
    deliverVideo(1015.000);  // captured at the resume: the whole pause up to it is cut
    EXPECT_EQ(pendingAndCut().first, false);
    EXPECT_NEAR(pendingAndCut().second, 4.990, 1e-9);
    deliverAudio(1014.998);  // late sound from the pause, after the cut was made
    deliverAudio(1015.020);

    // A second pause: its own resume time is the one that counts.
    fake.setHostTime(1016.000);
    ASSERT_TRUE(recorder->pauseCapture());
    fake.setHostTime(1017.000);
    ASSERT_TRUE(recorder->resumeCapture());
    deliverVideo(1016.500);
    deliverVideo(1017.020);
    deliverAudio(1016.990);
    deliverAudio(1017.030);

    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::video)->appendedTimes()),
              (std::vector<double>{0.0, 10.0, 10.010, 11.010}));
    const std::vector<double> sound{10.030, 11.020};
    EXPECT_EQ(secondsOf(inputOf(fake.writer->writerFor("/out/s.m4a"), MediaType::audio)->appendedTimes()), sound);
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::audio)->appendedTimes()), sound);
}

TEST_F(RecorderTest, SecondPauseKeepsTheFirstStartTime) {
    startRecording();
    deliverVideo(10.0);
    fake.setHostTime(11.0);
    EXPECT_TRUE(recorder->pauseCapture());
    fake.setHostTime(12.0);
    EXPECT_TRUE(recorder->pauseCapture());
    EXPECT_TRUE(recorder->resumeCapture());
    deliverVideo(14.0);
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::video)->appendedTimes()), (std::vector<double>{0.0, 1.0}));
}

TEST_F(RecorderTest, ResumeWhileRunningChangesNothing) {
    EXPECT_FALSE(recorder->pauseCapture());  // no recording: false
    EXPECT_FALSE(recorder->resumeCapture());
    startRecording();
    deliverVideo(10.0);
    EXPECT_TRUE(recorder->resumeCapture());
    recorder->withStateOnQueue([](R& r) {
        EXPECT_FALSE(r.pendingResumeAdjustment);
        EXPECT_FALSE(r.isPaused);
        return 0;
    });
    deliverVideo(11.0);
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::video)->appendedTimes()), (std::vector<double>{0.0, 1.0}));
}

TEST_F(RecorderTest, PauseResumePauseBeforeAFrameOnlyRemovesTheSecondPause) {
    startRecording();
    deliverVideo(10.0);
    fake.setHostTime(11.0);
    recorder->pauseCapture();
    recorder->resumeCapture();
    fake.setHostTime(13.0);
    recorder->pauseCapture();  // replaces the start and discards the pending adjustment
    fake.setHostTime(14.0);
    recorder->resumeCapture();
    deliverVideo(15.0);
    // Only 13..15 is removed: the frame lands at 5 - 2 = 3.
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::video)->appendedTimes()), (std::vector<double>{0.0, 3.0}));
}

TEST_F(RecorderTest, PauseBeforeTheFirstFrameClampsEarlyFramesToZero) {
    startRecording();
    fake.setHostTime(5.0);
    recorder->pauseCapture();
    recorder->resumeCapture();
    deliverVideo(7.0);  // anchors at 7 with 2 s already subtracted: output time negative → 0
    deliverVideo(8.0);  // 8 - 7 - 2 < 0 → 0 → out of order, dropped
    deliverVideo(9.5);  // 0.5
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::video)->appendedTimes()), (std::vector<double>{0.0, 0.5}));
}

TEST_F(RecorderTest, AudioRoutingTable) {
    struct Case {
        const char* json;
        bool inlineSystem, inlineMicrophone, systemFile, microphoneFile;
    };
    const std::vector<Case> cases = {
        {R"({"outputPath":"/out/a.mp4"})", false, false, false, false},
        {R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"systemAudioOutputPath":"/out/s.m4a"})", true, false, true, false},
        {R"({"outputPath":"/out/a.mp4","capturesMicrophone":true})", false, true, false, false},
        {kBothSources, true, false, true, true},
    };
    for (const auto& c : cases) {
        fakeplatform::FakePlatform platform;
        fakeplatform::RecordingLineSink sink;
        auto engine = R::make(platform.platform(), sink);
        ASSERT_FALSE(engine->startCapture(c.json)) << c.json;
        auto capture = platform.capture->lastStream();
        capture->deliver(fakeplatform::videoSample(1.0), StreamOutputType::screen);
        capture->deliver(fakeplatform::audioSample(1.1), StreamOutputType::audio);
        capture->deliver(fakeplatform::audioSample(1.2), StreamOutputType::microphone);
        std::vector<double> expectedInline;
        if (c.inlineSystem) expectedInline.push_back(0.1);
        if (c.inlineMicrophone) expectedInline.push_back(0.2);
        const auto video = platform.writer->writerFor("/out/a.mp4");
        std::shared_ptr<fakeplatform::FakeWriterInput> inlineInput;
        for (const auto& input : video->inputs) {
            if (input->mediaType() == MediaType::audio) inlineInput = std::static_pointer_cast<fakeplatform::FakeWriterInput>(input);
        }
        EXPECT_EQ(inlineInput ? secondsOf(inlineInput->appendedTimes()) : std::vector<double>{}, expectedInline) << c.json;
        const auto system = platform.writer->writerFor("/out/s.m4a");
        EXPECT_EQ(system != nullptr, c.systemFile) << c.json;
        if (system) {
            EXPECT_EQ(secondsOf(std::static_pointer_cast<fakeplatform::FakeWriterInput>(system->inputs[0])->appendedTimes()),
                      std::vector<double>{0.1});
        }
        const auto microphone = platform.writer->writerFor("/out/m.m4a");
        EXPECT_EQ(microphone != nullptr, c.microphoneFile) << c.json;
        if (microphone) {
            EXPECT_EQ(secondsOf(std::static_pointer_cast<fakeplatform::FakeWriterInput>(microphone->inputs[0])->appendedTimes()),
                      std::vector<double>{0.2});
        }
    }
}

TEST_F(RecorderTest, EachAudioOutputKeepsItsOwnOrderAndReadiness) {
    startRecording(kBothSources);
    deliverVideo(1.0);
    const auto systemFile = inputOf(fake.writer->writerFor("/out/s.m4a"), MediaType::audio);
    const auto inlineTrack = inputOf(videoWriter(), MediaType::audio);
    const auto microphoneFile = inputOf(fake.writer->writerFor("/out/m.m4a"), MediaType::audio);
    systemFile->ready = false;
    deliverAudio(1.1);  // busy separate input: the inline copy is still written
    systemFile->ready = true;
    deliverAudio(1.2);
    deliverAudio(1.2);  // same output time: skipped in both outputs
    inlineTrack->appendResult = false;
    deliverAudio(1.3);  // refused inline append: its last time stays at 0.2
    microphoneFile->ready = false;
    deliverAudio(1.25, StreamOutputType::microphone);  // lost, and never inline while system audio is captured
    EXPECT_EQ(secondsOf(systemFile->appendedTimes()), (std::vector<double>{0.2, 0.3}));
    EXPECT_EQ(secondsOf(inlineTrack->appendedTimes()), (std::vector<double>{0.1, 0.2}));
    EXPECT_TRUE(microphoneFile->appendedTimes().empty());
    recorder->withStateOnQueue([](R& r) {
        EXPECT_NEAR(r.lastInlineAudioPresentationTime.seconds(), 0.2, 1e-9);
        EXPECT_NEAR(r.firstSystemAudioSampleTime->seconds(), 0.2, 1e-9);
        EXPECT_NEAR(r.firstInlineAudioSampleTime->seconds(), 0.1, 1e-9);
        EXPECT_FALSE(r.firstMicrophoneSampleTime);  // the readiness check comes before the first time
        return 0;
    });
}

TEST_F(RecorderTest, FirstTimeIsSetEvenWhenTheAppendFails) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesMicrophone":true})");
    deliverVideo(1.0);
    inputOf(videoWriter(), MediaType::audio)->appendResult = false;
    deliverAudio(1.5, StreamOutputType::microphone);
    recorder->withStateOnQueue([](R& r) {
        EXPECT_NEAR(r.firstInlineAudioSampleTime->seconds(), 0.5, 1e-9);
        EXPECT_FALSE(r.lastInlineAudioPresentationTime.isValid());
        EXPECT_EQ(r.lastInlineAudioDuration, common::MediaTime::zero());
        return 0;
    });
}

// Sound is placed at the moment it was captured, however late it reaches the queue: the first
// buffer of a source may come long after the first frame, or even before it.
TEST_F(RecorderTest, SoundKeepsItsCaptureTimeWhenItArrivesEarlyOrLate) {
    // Delivered while the start was still opening the gate, captured 10 ms before the first frame.
    const auto whileStarting = fakeplatform::audioSample(9.990, at(0.010));
    recorder->queue.sync([&] {
        fakeplatform::FakeCaptureStream starting;
        recorder->streamDidOutputSampleBuffer(starting, whileStarting, 2);
    });
    startRecording(kBothSources);
    // Reached the queue before the first frame: one two seconds before it (too old to matter),
    // then two captured 5 ms before and 5 ms after it.
    deliverAudio(8.0, StreamOutputType::microphone, at(0.010));
    deliverAudio(9.995, StreamOutputType::microphone, at(0.010));
    deliverAudio(10.005, StreamOutputType::microphone, at(0.010));
    deliverVideo(10.0);
    for (int i = 1; i <= 18; ++i) deliverVideo(10.0 + i / 60.0);
    // Captured with the first frame, arriving 300 ms later; then one arriving late in the middle.
    deliverAudio(10.0, StreamOutputType::audio, at(0.010));
    for (int i = 19; i <= 60; ++i) deliverVideo(10.0 + i / 60.0);
    deliverAudio(10.010, StreamOutputType::audio, at(0.010));
    const auto systemFile = inputOf(fake.writer->writerFor("/out/s.m4a"), MediaType::audio);
    const auto microphoneFile = inputOf(fake.writer->writerFor("/out/m.m4a"), MediaType::audio);
    EXPECT_EQ(secondsOf(systemFile->appendedTimes()), (std::vector<double>{0.0, 0.010}));
    EXPECT_EQ(secondsOf(inputOf(videoWriter(), MediaType::audio)->appendedTimes()), (std::vector<double>{0.0, 0.010}));
    // The writer cuts what lies before zero; moved to zero, the first buffer would overlap the next.
    EXPECT_EQ(secondsOf(microphoneFile->appendedTimes()), (std::vector<double>{-0.010, -0.005, 0.005}));
}
