// System audio and microphone samples of a capture stream, from a private sound server.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "common/host_clock.hpp"
#include "common/serial_queue.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"
#include "tests/x11_capture/capture_test_support.hpp"

namespace x11test {
namespace {

using recorder::platform::StreamOutputType;

// Counts the samples of each output type and remembers the latest one.
class SampleCounter final : public recorder::platform::StreamOutput {
public:
    void streamDidOutputSampleBuffer(recorder::platform::CaptureStream&,
                                     std::shared_ptr<recorder::platform::SampleBuffer> sample, int type) override {
        std::lock_guard lock(mutex_);
        if (type < 0 || type > 2) return;
        ++counts_[type];
        latest_[type] = sample;
        changed_.notify_all();
    }
    int count(StreamOutputType type) const {
        std::lock_guard lock(mutex_);
        return counts_[static_cast<int>(type)];
    }
    std::shared_ptr<recorder::platform::SampleBuffer> latest(StreamOutputType type) const {
        std::lock_guard lock(mutex_);
        return latest_[static_cast<int>(type)];
    }
    bool waitFor(StreamOutputType type, int atLeast, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return counts_[static_cast<int>(type)] >= atLeast; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::array<int, 3> counts_{};
    std::array<std::shared_ptr<recorder::platform::SampleBuffer>, 3> latest_;
};

recorder::platform::StreamConfiguration audioConfiguration(bool microphone) {
    recorder::platform::StreamConfiguration config;
    config.minimumFrameInterval = common::MediaTime::make(1, 60);
    config.pixelFormat = recorder::platform::kPixelFormat420v;
    config.capturesAudio = true;
    config.captureMicrophone = microphone;
    return config;
}

std::unique_ptr<testsupport::TestDesktop> desktopWithSound() {
    testsupport::DesktopOptions options;
    options.windowManager = false;
    options.pulseAudio = true;
    return startDesktop(options);
}

TEST(X11CaptureStreamAudio, SystemAudioAndMicrophoneArriveAsTheirOwnTypesOnTheHostClock) {
    auto desktop = desktopWithSound();
    auto service = recorder::linux_backend::makeX11CaptureService();
    EXPECT_TRUE(service->canCaptureMicrophone());
    common::SerialQueue queue("x11test.audio");
    auto counter = std::make_shared<SampleCounter>();
    auto display = service->shareableContent(false, true).value().displays.at(0);
    auto stream = service->makeStream({display, {}, {}}, audioConfiguration(true), {}).value();
    for (auto type : {StreamOutputType::screen, StreamOutputType::audio, StreamOutputType::microphone}) {
        ASSERT_FALSE(stream->addStreamOutput(counter, type, queue).has_value());
    }
    const auto before = common::hostTimeNow();
    auto started = stream->startCapture();
    ASSERT_FALSE(started.has_value()) << started->message;
    EXPECT_TRUE(counter->waitFor(StreamOutputType::audio, 5, 5s));
    EXPECT_TRUE(counter->waitFor(StreamOutputType::microphone, 5, 5s));
    EXPECT_TRUE(counter->waitFor(StreamOutputType::screen, 5, 5s));
    for (auto type : {StreamOutputType::audio, StreamOutputType::microphone}) {
        auto sample = counter->latest(type);
        ASSERT_TRUE(sample && sample->audioData());
        EXPECT_EQ(sample->audioData()->sampleRate, 48000);
        EXPECT_GT(sample->audioData()->frameCount(), 0u);
        EXPECT_GE(sample->presentationTimeStamp(), before - common::MediaTime::make(1, 1));
        EXPECT_LE(sample->presentationTimeStamp(), common::hostTimeNow());
    }
    ASSERT_FALSE(stream->stopCapture().has_value());
    const int audioAtStop = counter->count(StreamOutputType::audio);
    const int microphoneAtStop = counter->count(StreamOutputType::microphone);
    std::this_thread::sleep_for(200ms);  // audio keeps coming every 20 ms or so if a source still ran
    queue.sync([] {});
    EXPECT_EQ(counter->count(StreamOutputType::audio), audioAtStop);
    EXPECT_EQ(counter->count(StreamOutputType::microphone), microphoneAtStop);
}

TEST(X11CaptureStreamAudio, TheMicrophoneIsRecordedOnlyWhenTheConfigurationAsksForIt) {
    auto desktop = desktopWithSound();
    auto service = recorder::linux_backend::makeX11CaptureService();
    common::SerialQueue queue("x11test.audio");
    auto counter = std::make_shared<SampleCounter>();
    auto display = service->shareableContent(false, true).value().displays.at(0);
    auto stream = service->makeStream({display, {}, {}}, audioConfiguration(false), {}).value();
    for (auto type : {StreamOutputType::screen, StreamOutputType::audio, StreamOutputType::microphone}) {
        ASSERT_FALSE(stream->addStreamOutput(counter, type, queue).has_value());
    }
    ASSERT_FALSE(stream->startCapture().has_value());
    EXPECT_TRUE(counter->waitFor(StreamOutputType::audio, 10, 5s));
    EXPECT_EQ(counter->count(StreamOutputType::microphone), 0);
    ASSERT_FALSE(stream->stopCapture().has_value());
}

TEST(X11CaptureStreamAudio, AMissingMicrophoneDeviceFailsTheStartAndLeavesNothingRunning) {
    auto desktop = desktopWithSound();
    auto service = recorder::linux_backend::makeX11CaptureService();
    common::SerialQueue queue("x11test.audio");
    auto counter = std::make_shared<SampleCounter>();
    auto display = service->shareableContent(false, true).value().displays.at(0);
    auto config = audioConfiguration(true);
    config.microphoneCaptureDeviceID = "no-such-source";
    auto stream = service->makeStream({display, {}, {}}, config, {}).value();
    for (auto type : {StreamOutputType::screen, StreamOutputType::audio, StreamOutputType::microphone}) {
        ASSERT_FALSE(stream->addStreamOutput(counter, type, queue).has_value());
    }
    auto started = stream->startCapture();
    ASSERT_TRUE(started.has_value());
    EXPECT_NE(started->message.find("no-such-source"), std::string::npos) << started->message;
    queue.sync([] {});
    const int screen = counter->count(StreamOutputType::screen);
    std::this_thread::sleep_for(100ms);  // frames would arrive every 17 ms if the grab had been left running
    queue.sync([] {});
    EXPECT_EQ(counter->count(StreamOutputType::screen), screen);
    EXPECT_FALSE(stream->stopCapture().has_value());
}

TEST(X11CaptureStreamAudio, WithoutASoundServerTheMicrophoneCannotBeCaptured) {
    testsupport::DesktopOptions options;
    options.windowManager = false;
    auto desktop = startDesktop(options);
    ::setenv("PULSE_SERVER", "unix:/nonexistent/pulse/native", 1);
    ::setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    EXPECT_FALSE(recorder::linux_backend::makeX11CaptureService()->canCaptureMicrophone());
}

}  // namespace
}  // namespace x11test
