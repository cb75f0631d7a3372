#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "common/group.hpp"
#include "recorder/control/command_reader.hpp"
#include "recorder/control/recorder_service.hpp"
#include "tests/support/fake/fake_platform.hpp"

using namespace std::chrono_literals;
using recorder::CaptureFinalizationResult;

namespace {

// A capture engine whose operations the test scripts, recording the order in which they ran.
class ScriptedRecorder final : public recorder::RecorderOperations {
public:
    common::Status startCapture(const std::string& json) override {
        log("start:" + json);
        if (startGate) startGate->wait();
        recording = !startError.has_value();
        return startError;
    }
    bool pauseCapture() override {
        log("pause");
        return recording;
    }
    bool resumeCapture() override {
        log("resume");
        return recording;
    }
    CaptureFinalizationResult finalizeCapture(bool interactive) override {
        log(interactive ? "stop:interactive" : "stop");
        if (stopError) return CaptureFinalizationResult{*stopError, interactive};
        recording = false;
        return CaptureFinalizationResult{std::string("/tmp/out.mp4"), interactive};
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex);
        return calls_;
    }

    std::optional<common::Error> startError;
    std::optional<common::Error> stopError;
    common::Semaphore* startGate = nullptr;
    std::atomic<bool> recording{false};

private:
    void log(const std::string& call) {
        std::lock_guard lock(mutex);
        calls_.push_back(call);
    }
    std::mutex mutex;
    std::vector<std::string> calls_;
};

}  // namespace

TEST(RecorderService, CommandsRunOneAfterAnotherInOrder) {
    auto engine = std::make_shared<ScriptedRecorder>();
    common::Semaphore startGate(0);
    engine->startGate = &startGate;
    fakeplatform::RecordingLineSink lines;
    recorder::RecorderService service(engine, lines);
    service.start("{}");
    service.pause();  // issued while the start is still running
    service.resume();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(engine->calls(), std::vector<std::string>{"start:{}"});  // the pause waits its turn
    startGate.signal();
    service.stop();
    ASSERT_EQ(service.waitUntilFinishedFor(5s), std::optional<bool>(true));
    EXPECT_EQ(engine->calls(), (std::vector<std::string>{"start:{}", "pause", "resume", "stop:interactive"}));
    EXPECT_EQ(lines.outLines(), (std::vector<std::string>{"Recording paused", "Recording resumed",
                                                          "Recording stopped. Output path: /tmp/out.mp4"}));
    EXPECT_TRUE(lines.errLines().empty());
}

TEST(RecorderService, PauseAndResumeWithoutRecordingAreSilent) {
    auto engine = std::make_shared<ScriptedRecorder>();
    engine->startError = common::Error{"ZentrovaCapture", 4, "Display not found"};
    fakeplatform::RecordingLineSink lines;
    recorder::RecorderService service(engine, lines);
    service.pause();
    service.resume();
    service.start("{}");
    service.pause();
    EXPECT_EQ(service.waitUntilFinishedFor(5s), std::optional<bool>(false));
    EXPECT_TRUE(lines.outLines().empty());
    EXPECT_EQ(lines.errLines(), std::vector<std::string>{"Error starting capture: Display not found"});
}

TEST(RecorderService, FailedStopReportsOneLineAndFails) {
    auto engine = std::make_shared<ScriptedRecorder>();
    engine->stopError = common::Error{"ZentrovaCapture", 10, "Recording could not be finalized (writer status 3)"};
    fakeplatform::RecordingLineSink lines;
    recorder::RecorderService service(engine, lines);
    service.start("{}");
    service.stop();
    EXPECT_EQ(service.waitUntilFinishedFor(5s), std::optional<bool>(false));
    EXPECT_EQ(lines.errLines(),
              std::vector<std::string>{"Error stopping capture: Recording could not be finalized (writer status 3)"});
    EXPECT_TRUE(lines.outLines().empty());
}

TEST(RecorderService, CompletionGroupIsNeverLeftTwice) {
    // A stop that completes after a failed start must not leave the group again: with a second
    // (successful) start entering it, the service must still be running after that stop.
    auto engine = std::make_shared<ScriptedRecorder>();
    engine->startError = common::Error{"ZentrovaCapture", 1, "Recording is already in progress"};
    fakeplatform::RecordingLineSink lines;
    recorder::RecorderService service(engine, lines);
    common::Semaphore gate(0);
    engine->startGate = &gate;
    service.start("first");
    gate.signal();
    ASSERT_EQ(service.waitUntilFinishedFor(5s), std::optional<bool>(false));
    engine->startError.reset();
    service.start("second");
    gate.signal();
    service.stop();
    // Let both commands run; the stop must not have emptied the group entered by the second start.
    for (int i = 0; i < 200 && engine->calls().size() < 3; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(engine->calls().size(), 3u);
    EXPECT_FALSE(service.waitUntilFinishedFor(50ms).has_value());
}

namespace {

std::vector<std::string> readCommands(const std::string& input) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    std::vector<std::string> asked;
    recorder::runCommandReader(fds[0], recorder::CommandHandlers{[&] { asked.push_back("pause"); },
                                                                 [&] { asked.push_back("resume"); },
                                                                 [&] { asked.push_back("stop"); }});
    close(fds[0]);
    return asked;
}

}  // namespace

TEST(CommandReader, WholeLowerCasedLinesOnly) {
    EXPECT_EQ(readCommands("Pause\n pause\npause \nRESUME\r\nresume\tx\n\nStOp\npause\n"),
              (std::vector<std::string>{"pause", "resume", "stop"}));  // nothing after stop is read
}

TEST(CommandReader, EndOfInputAsksForNothing) {
    EXPECT_TRUE(readCommands("hello\nstopp\n").empty());
    EXPECT_EQ(readCommands("pause\nstop"), (std::vector<std::string>{"pause", "stop"}));  // no terminator
    EXPECT_EQ(readCommands(std::string("st\0op\nstop\n", 11)), std::vector<std::string>{"stop"});
}
