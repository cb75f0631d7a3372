#include "tests/unit/recorder/recorder_test_fixture.hpp"

#include <filesystem>

using namespace recorder::platform;

TEST_F(RecorderTest, NewRecorderStartsIdle) {
    recorder->withStateOnQueue([](recorder::ScreenCaptureRecorder& r) {
        EXPECT_FALSE(r.isRecording);
        EXPECT_EQ(r.frameCount, 0);
        EXPECT_EQ(r.firstSampleTime, common::MediaTime::zero());
        EXPECT_EQ(r.accumulatedPausedDuration, common::MediaTime::zero());
        EXPECT_FALSE(r.lastSystemAudioPresentationTime.isValid());
        EXPECT_FALSE(r.lastInlineAudioPresentationTime.isValid());
        EXPECT_EQ(r.microphoneOutputTypeRawValue, 2);
        EXPECT_EQ(r.queue.label(), "zentrova.screencapturekit.video");
        return 0;
    });
}

TEST_F(RecorderTest, StartConfiguresTheStreamForTheMainDisplay) {
    fake.capture->mainDisplay = 1;
    startRecording(R"({"fps":30,"outputPath":"/out/a.MP4"})");
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->started.load());
    EXPECT_EQ(stream->configuration.minimumFrameInterval, common::MediaTime::make(1, 60));
    EXPECT_EQ(stream->configuration.queueDepth, 6);
    EXPECT_EQ(stream->configuration.pixelFormat, kPixelFormat420v);
    EXPECT_FALSE(stream->configuration.showsCursor);
    EXPECT_FALSE(stream->configuration.capturesAudio);
    EXPECT_EQ(stream->configuration.width, 1920);
    EXPECT_EQ(stream->configuration.height, 1080);
    ASSERT_EQ(stream->registrations.size(), 1u);
    EXPECT_EQ(stream->registrations[0].type, StreamOutputType::screen);
    EXPECT_EQ(stream->registrations[0].queue, &recorder->queue);
    const auto writer = videoWriter();
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->fileType, FileType::mpeg4);
    EXPECT_EQ(writer->status(), WriterStatus::writing);
    EXPECT_EQ(writer->sessionStart, common::MediaTime::zero());
    const auto video = inputOf(writer, MediaType::video);
    ASSERT_TRUE(video);
    EXPECT_TRUE(video->expectsRealTime);
    EXPECT_EQ(video->videoSettings->width, 1920);
    EXPECT_EQ(video->videoSettings->colorProperties->yCbCrMatrix, "ITU_R_709_2");
    EXPECT_EQ(video->videoSettings->compression.at("preset"), "veryfast");  // the assistant's keys are kept
    EXPECT_FALSE(fake.writer->lastAdaptor);
    EXPECT_TRUE(lines.outLines().empty());  // nothing is printed until the first frame
}

TEST_F(RecorderTest, FrameRateCanBeRaisedButNotLowered) {
    startRecording(R"({"fps":120,"outputPath":"/out/a.mp4"})");
    EXPECT_EQ(stream->configuration.minimumFrameInterval, common::MediaTime::make(1, 120));
}

TEST_F(RecorderTest, ContainerFollowsTheExtension) {
    for (const auto& [path, type] : std::vector<std::pair<std::string, FileType>>{
             {"/out/a.mov", FileType::quickTimeMovie}, {"/out/a.m4v", FileType::quickTimeMovie},
             {"/out/noextension", FileType::quickTimeMovie}, {"/out/a.Mp4", FileType::mpeg4}}) {
        auto platform = fakeplatform::FakePlatform();
        fakeplatform::RecordingLineSink sink;
        auto engine = recorder::ScreenCaptureRecorder::make(platform.platform(), sink);
        ASSERT_FALSE(engine->startCapture(R"({"outputPath":")" + path + "\"}"));
        ASSERT_TRUE(platform.writer->writerFor(path)) << path;
        EXPECT_EQ(platform.writer->writerFor(path)->fileType, type) << path;
    }
}

TEST_F(RecorderTest, DefaultAndRelativeOutputLocations) {
    startRecording(R"({"outputPath":""})");
    const std::string path = videoWriter()->path;
    const std::string name = std::filesystem::path(path).filename().string();
    EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::current_path());
    EXPECT_EQ(name.rfind("output_", 0), 0u);
    EXPECT_EQ(name.substr(name.size() - 4), ".mp4");
    EXPECT_NEAR(std::stod(name.substr(7, name.size() - 11)), static_cast<double>(std::time(nullptr)), 5);

    auto platform = fakeplatform::FakePlatform();
    auto engine = recorder::ScreenCaptureRecorder::make(platform.platform(), lines);
    ASSERT_FALSE(engine->startCapture(R"({"outputPath":"sub/../clip.mov"})"));
    EXPECT_EQ(platform.writer->writers().front()->path, (std::filesystem::current_path() / "clip.mov").string());
}

TEST_F(RecorderTest, SecondStartIsRefusedWithoutLookingAtTheRequest) {
    startRecording();
    const auto error = recorder->startCapture("not json at all");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "ZentrovaCapture");
    EXPECT_EQ(error->code, 1);
    EXPECT_EQ(error->message, "Recording is already in progress");
    EXPECT_TRUE(recorder->isRecording);
}

TEST_F(RecorderTest, RequestErrorsComeFirst) {
    const auto utf8 = recorder->startCapture("{\"outputPath\":\"\xFF\"}");
    ASSERT_TRUE(utf8);
    EXPECT_EQ(utf8->code, 2);
    EXPECT_EQ(utf8->message, "Invalid JSON input");
    const auto json = recorder->startCapture("{");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->domain, recorder::kRequestDecodingDomain);  // the decoder's own error, not code 2
    EXPECT_EQ(fake.capture->contentQueries(), 0);
    EXPECT_TRUE(fake.writer->writers().empty());
}

TEST_F(RecorderTest, SourceFailuresLeaveNoWriter) {
    const auto window = recorder->startCapture(R"({"windowId":77})");
    ASSERT_TRUE(window);
    EXPECT_EQ(window->code, 3);
    EXPECT_EQ(window->message, "Window not found");
    const auto display = recorder->startCapture(R"({"displayId":9})");
    ASSERT_TRUE(display);
    EXPECT_EQ(display->code, 4);
    EXPECT_EQ(display->message, "Display not found");
    EXPECT_TRUE(fake.writer->writers().empty());
    fake.capture->setContentError(common::Error{"X11Capture", 7, "the X display connection was lost"});
    const auto content = recorder->startCapture("{}");
    ASSERT_TRUE(content);
    EXPECT_EQ(content->message, "the X display connection was lost");
}

TEST_F(RecorderTest, MissingSystemAudioPathFailsAfterTheVideoWriterExists) {
    const auto error = recorder->startCapture(R"({"capturesSystemAudio":true,"outputPath":"/out/a.mp4"})");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 11);
    EXPECT_EQ(error->message, "Missing system audio output path for audio capture");
    ASSERT_TRUE(videoWriter());
    EXPECT_EQ(videoWriter()->status(), WriterStatus::unknown);  // created, not writing
    EXPECT_FALSE(fake.capture->lastStream());
}

TEST_F(RecorderTest, MissingMicrophonePathFailsWithTheSystemAudioFileStarted) {
    const auto error = recorder->startCapture(
        R"({"capturesSystemAudio":true,"capturesMicrophone":true,"systemAudioOutputPath":"/out/s.m4a","microphoneOutputPath":""})");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 14);
    const auto system = fake.writer->writerFor("/out/s.m4a");
    ASSERT_TRUE(system);
    EXPECT_EQ(system->status(), WriterStatus::writing);
    EXPECT_EQ(system->sessionStart, common::MediaTime::zero());
}

TEST_F(RecorderTest, WriterCreationAndStartFailuresPassTheirDescription) {
    fake.writer->creationErrors.emplace("/out/a.mp4", common::Error{"MediaWriter", 17, "cannot create /out/a.mp4: File exists"});
    const auto exists = recorder->startCapture(R"({"outputPath":"/out/a.mp4"})");
    ASSERT_TRUE(exists);
    EXPECT_EQ(exists->message, "cannot create /out/a.mp4: File exists");

    fake.writer->configureWriter = [](fakeplatform::FakeAssetWriter& writer) {
        writer.startSucceeds = false;
        writer.setError(common::Error{"MediaWriter", 28, "cannot write /out/b.mp4: No space left on device"});
    };
    const auto start = recorder->startCapture(R"({"outputPath":"/out/b.mp4"})");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->code, 8);
    EXPECT_EQ(start->message, "cannot write /out/b.mp4: No space left on device");

    fake.writer->configureWriter = [](fakeplatform::FakeAssetWriter& writer) { writer.startSucceeds = false; };
    const auto bare = recorder->startCapture(R"({"outputPath":"/out/c.mp4"})");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->message, "Unable to start video writing");
}

TEST_F(RecorderTest, WriterSetupErrorsFromTheSettingsAndInputs) {
    fake.writer->assistantAvailable = false;
    EXPECT_EQ(recorder->startCapture(R"({"outputPath":"/out/1.mp4"})")->code, 5);
    fake.writer->assistantAvailable = true;
    fake.writer->assistant->settings.reset();
    EXPECT_EQ(recorder->startCapture(R"({"outputPath":"/out/2.mp4"})")->code, 6);
    fake.writer->assistant->settings = VideoSettings{"h264", 1, 1, std::nullopt, {}};
    fake.writer->configureWriter = [](fakeplatform::FakeAssetWriter& writer) { writer.acceptVideoInputs = false; };
    EXPECT_EQ(recorder->startCapture(R"({"outputPath":"/out/3.mp4"})")->code, 7);
    // A refused inline audio input is not an error: there is simply no inline track.
    fake.writer->configureWriter = [](fakeplatform::FakeAssetWriter& writer) {
        writer.acceptAudioInputs = writer.fileType != FileType::appleM4A ? false : true;
    };
    EXPECT_FALSE(recorder->startCapture(
        R"({"outputPath":"/out/4.mp4","capturesSystemAudio":true,"systemAudioOutputPath":"/out/4.m4a"})"));
    EXPECT_FALSE(inputOf(fake.writer->writerFor("/out/4.mp4"), MediaType::audio));
}

TEST_F(RecorderTest, AudioOutputsAreRegisteredInOrder) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesSystemAudio":true,"capturesMicrophone":true,
                       "systemAudioOutputPath":"/out/s.m4a","microphoneOutputPath":"/out/m.m4a"})");
    ASSERT_EQ(stream->registrations.size(), 3u);
    EXPECT_EQ(stream->registrations[0].type, StreamOutputType::screen);
    EXPECT_EQ(stream->registrations[1].type, StreamOutputType::audio);
    EXPECT_EQ(stream->registrations[2].type, StreamOutputType::microphone);
    EXPECT_TRUE(stream->configuration.capturesAudio);
    EXPECT_TRUE(stream->configuration.captureMicrophone);
    EXPECT_EQ(fake.writer->writerFor("/out/s.m4a")->fileType, FileType::appleM4A);
    EXPECT_EQ(inputOf(fake.writer->writerFor("/out/s.m4a"), MediaType::audio)->audioSettings->encoderBitRate, 160000);
    EXPECT_EQ(inputOf(fake.writer->writerFor("/out/m.m4a"), MediaType::audio)->audioSettings->encoderBitRate, 128000);
    EXPECT_EQ(inputOf(videoWriter(), MediaType::audio)->audioSettings->encoderBitRate, 192000);
}

TEST_F(RecorderTest, UnavailableMicrophoneIsDroppedWithOneLine) {
    fake.capture->microphoneCapturable = false;
    startRecording(R"({"outputPath":"/out/a.mp4","capturesMicrophone":true,"microphoneOutputPath":"/out/m.m4a"})");
    EXPECT_EQ(lines.errLines(), std::vector<std::string>{"MICROPHONE_CAPTURE_UNAVAILABLE"});
    ASSERT_EQ(stream->registrations.size(), 1u);
    EXPECT_FALSE(stream->configuration.capturesAudio);
    EXPECT_FALSE(inputOf(videoWriter(), MediaType::audio));
    EXPECT_FALSE(fake.writer->writerFor("/out/m.m4a"));
}

TEST_F(RecorderTest, MicrophoneOnlyGoesInlineAndIgnoresItsPath) {
    startRecording(R"({"outputPath":"/out/a.mp4","capturesMicrophone":true,"microphoneOutputPath":"/out/m.m4a"})");
    EXPECT_FALSE(fake.writer->writerFor("/out/m.m4a"));
    EXPECT_TRUE(inputOf(videoWriter(), MediaType::audio));
    recorder->withStateOnQueue([](recorder::ScreenCaptureRecorder& r) {
        EXPECT_FALSE(r.writesSystemAudioToSeparateTrack);
        EXPECT_FALSE(r.writesMicrophoneToSeparateTrack);
        return 0;
    });
}

TEST_F(RecorderTest, MicrophoneDeviceIsChosenByLabelThenIdentifier) {
    fakeplatform::FakeCaptureDeviceService devices;
    devices.devices = {{"Built-in Microphone", "builtin"}, {"USB Mic", "usb"}};
    using R = recorder::ScreenCaptureRecorder;
    recorder::CaptureConfig config;
    config.microphoneLabel = "  USB Mic\n";
    EXPECT_EQ(R::resolveMicrophoneCaptureDeviceID(config, devices), "usb");
    config.microphoneLabel = "usb mic";  // letter case matters
    EXPECT_EQ(R::resolveMicrophoneCaptureDeviceID(config, devices), std::nullopt);
    config.microphoneLabel = "Built-in Microphone";
    config.microphoneDeviceId = "usb";
    EXPECT_EQ(R::resolveMicrophoneCaptureDeviceID(config, devices), "builtin");  // the label wins
    config.microphoneLabel = "   ";
    config.microphoneDeviceId = "\tusb ";
    EXPECT_EQ(R::resolveMicrophoneCaptureDeviceID(config, devices), "usb");
    config.microphoneDeviceId = "missing";
    EXPECT_EQ(R::resolveMicrophoneCaptureDeviceID(config, devices), std::nullopt);
}
