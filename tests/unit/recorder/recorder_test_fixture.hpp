#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "recorder/engine/screen_capture_recorder.hpp"
#include "tests/support/fake/fake_platform.hpp"

// A recorder on the fake platform, with helpers to start a recording and feed it samples.
class RecorderTest : public ::testing::Test {
protected:
    RecorderTest();

    // Starts a recording of `json`; fails the test when the start fails.
    std::shared_ptr<fakeplatform::FakeCaptureStream> startRecording(const std::string& json = R"({"outputPath":"/out/a.mp4"})");

    void deliverVideo(double seconds, recorder::platform::FrameStatus status = recorder::platform::FrameStatus::complete);
    void deliverAudio(double seconds, recorder::platform::StreamOutputType type = recorder::platform::StreamOutputType::audio,
                      common::MediaTime duration = common::MediaTime::make(1024, 48000));

    std::shared_ptr<fakeplatform::FakeAssetWriter> videoWriter() const;
    std::shared_ptr<fakeplatform::FakeWriterInput> inputOf(const std::shared_ptr<fakeplatform::FakeAssetWriter>& writer,
                                                           recorder::platform::MediaType type) const;
    // Output times (seconds) appended to an input.
    static std::vector<double> secondsOf(const std::vector<common::MediaTime>& times);

    fakeplatform::FakePlatform fake;
    fakeplatform::RecordingLineSink lines;
    std::atomic<int> exitStatus{-1};
    std::shared_ptr<recorder::ScreenCaptureRecorder> recorder;
    std::shared_ptr<fakeplatform::FakeCaptureStream> stream;
};

common::MediaTime at(double seconds);
