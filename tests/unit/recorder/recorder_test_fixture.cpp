#include "tests/unit/recorder/recorder_test_fixture.hpp"

#include <cmath>

using namespace recorder::platform;

common::MediaTime at(double seconds) { return fakeplatform::seconds(seconds); }

RecorderTest::RecorderTest() {
    recorder = recorder::ScreenCaptureRecorder::make(fake.platform(), lines, [this](int status) { exitStatus = status; });
}

std::shared_ptr<fakeplatform::FakeCaptureStream> RecorderTest::startRecording(const std::string& json) {
    const auto error = recorder->startCapture(json);
    EXPECT_FALSE(error) << (error ? error->message : "");
    stream = fake.capture->lastStream();
    return stream;
}

void RecorderTest::deliverVideo(double seconds, FrameStatus status) {
    stream->deliver(fakeplatform::videoSample(seconds, status), StreamOutputType::screen);
}

void RecorderTest::deliverAudio(double seconds, StreamOutputType type, common::MediaTime duration) {
    stream->deliver(fakeplatform::audioSample(seconds, duration), type);
}

std::shared_ptr<fakeplatform::FakeAssetWriter> RecorderTest::videoWriter() const {
    for (const auto& writer : fake.writer->writers()) {
        if (writer->fileType != FileType::appleM4A) return writer;
    }
    return nullptr;
}

std::shared_ptr<fakeplatform::FakeWriterInput> RecorderTest::inputOf(
    const std::shared_ptr<fakeplatform::FakeAssetWriter>& writer, MediaType type) const {
    if (!writer) return nullptr;
    for (const auto& input : writer->inputs) {
        if (input->mediaType() == type) return std::static_pointer_cast<fakeplatform::FakeWriterInput>(input);
    }
    return nullptr;
}

std::vector<double> RecorderTest::secondsOf(const std::vector<common::MediaTime>& times) {
    std::vector<double> result;
    for (const auto& time : times) result.push_back(std::round(time.seconds() * 1e6) / 1e6);
    return result;
}
