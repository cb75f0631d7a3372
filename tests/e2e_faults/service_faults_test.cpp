// A service the recording depends on goes away while it runs: the X server, the sound server.

#include "tests/e2e_faults/recording_under_fault.hpp"
#include "tests/support/desktop/readiness.hpp"

#include <gmock/gmock.h>

#include <functional>
#include <iostream>
#include <thread>

namespace testsupport::faults {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Scheduling slack between seeing a line and the moment the frame it reports was captured, and
// between a kill and the moment the recorder notices it.
constexpr double kTimingSlackSeconds = 0.5;
// How far an audio track's end may lie from the video's: a few 20 ms fragments and the closing
// frame's duration.
constexpr double kAudioVideoEndTolerance = 0.25;

class ServiceFault : public RecordingUnderFault {
protected:
    void expectAudioFaultKeepsVideoAndTimeline(const std::string& name, const std::function<void()>& fault);
};

// A display recording with system audio (inline and in its own file) and the microphone (in its
// own file).
std::string audioRequest(const std::string& video, const std::string& systemAudio, const std::string& microphone) {
    return R"({"outputPath":")" + video + R"(","capturesSystemAudio":true,"systemAudioOutputPath":")" + systemAudio +
           R"(","capturesMicrophone":true,"microphoneOutputPath":")" + microphone + R"("})";
}

// Every audio track runs to the video's end: silence stands in for what could not be heard.
void expectAudioKeepsTheTimeline(const std::string& video, const std::vector<std::string>& audioFiles) {
    const auto videoEnd = streamEndSeconds(video, "v:0");
    ASSERT_TRUE(videoEnd.has_value());
    for (const auto& file : audioFiles) {
        SCOPED_TRACE(file);
        expectDecodesCleanly(file);
        const auto audioEnd = streamEndSeconds(file, "a:0");
        ASSERT_TRUE(audioEnd.has_value());
        std::cout << file << ": audio ends at " << *audioEnd << " s, video at " << *videoEnd << " s\n";
        EXPECT_NEAR(*audioEnd, *videoEnd, kAudioVideoEndTolerance);
    }
}

TEST_F(ServiceFault, LosingTheXServerStopsTheStreamAndStopFinishesTheFile) {
    startDesktop();
    showMovingPicture();
    const auto output = path("display-lost.mp4").string();
    auto recorder = startRecorder(displayRequest(output));
    const auto started = waitUntilRecording(*recorder);
    std::this_thread::sleep_for(kRecordBeforeFault);

    const auto lostAt = Clock::now();
    desktop_->killXServer();
    ASSERT_TRUE(pollUntil([&] { return !linesStartingWith(recorder->stderrSoFar(), "Error: ").empty(); }, 10s))
        << "the lost display was not reported; standard error: " << recorder->stderrSoFar();
    std::this_thread::sleep_for(kRecordAfterFault);
    EXPECT_FALSE(recorder->waitForExit(0ms).has_value()) << "the recorder must keep running until \"stop\"";

    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Recording started\nRecording stopped. Output path: " + output + "\n");
    const auto errorLines = linesStartingWith(outcome.err, "Error: ");
    ASSERT_EQ(errorLines.size(), 1u) << outcome.err;
    EXPECT_EQ(outcome.err, errorLines.front() + "\n") << "nothing but the one stream error";
    // Says what was lost and which display it was, so a person knows where to look.
    EXPECT_THAT(errorLines.front(), StartsWith("Error: the X display connection was lost: "));
    EXPECT_THAT(errorLines.front(), HasSubstr("(display \"" + desktop_->display() + "\")"));

    expectDecodesCleanly(output);
    const auto boxes = topLevelBoxes(output);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "moov") << "the file was finished";
    // The video runs up to the loss of the display and stops there.
    const auto videoEnd = streamEndSeconds(output, "v:0");
    ASSERT_TRUE(videoEnd.has_value());
    const double recordedBeforeLoss = secondsBetween(started, lostAt);
    std::cout << "display lost after " << recordedBeforeLoss << " s; the video ends at " << *videoEnd << " s\n";
    EXPECT_NEAR(*videoEnd, recordedBeforeLoss, kTimingSlackSeconds);
}

// Records system audio and the microphone, causes `fault` part-way, then stops: the video must go
// on to the stop and every audio track must keep the timeline.
void ServiceFault::expectAudioFaultKeepsVideoAndTimeline(const std::string& name, const std::function<void()>& fault) {
    startDesktop(/*withPulseAudio=*/true);
    showMovingPicture();
    const auto video = path(name + ".mp4").string();
    const auto systemAudio = path(name + "-system.m4a").string();
    const auto microphone = path(name + "-microphone.m4a").string();
    auto recorder = startRecorder(audioRequest(video, systemAudio, microphone));
    const auto started = waitUntilRecording(*recorder);
    std::this_thread::sleep_for(kRecordBeforeFault);

    fault();
    if (HasFatalFailure()) return;
    std::this_thread::sleep_for(kRecordBeforeFault);
    const auto stoppedAt = Clock::now();
    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Recording started\nRecording stopped. Output path: " + video + "\n");
    EXPECT_EQ(outcome.err, "");

    // Video went on after the sound went.
    const auto videoEnd = streamEndSeconds(video, "v:0");
    ASSERT_TRUE(videoEnd.has_value());
    EXPECT_NEAR(*videoEnd, secondsBetween(started, stoppedAt), kTimingSlackSeconds);
    expectAudioKeepsTheTimeline(video, {video, systemAudio, microphone});
}

TEST_F(ServiceFault, LosingTheSoundServerKeepsVideoAndTheAudioTimeline) {
    expectAudioFaultKeepsVideoAndTimeline("sound-lost", [&] { desktop_->killPulseAudio(); });
}

TEST_F(ServiceFault, LosingTheMicrophoneKeepsVideoAndTheAudioTimeline) {
    expectAudioFaultKeepsVideoAndTimeline("microphone-lost", [&] {
        // The test microphone is a remapped source: unloading its module takes the device away.
        const auto unloaded = desktop_->run("pactl unload-module module-remap-source");
        ASSERT_EQ(unloaded.status, 0) << unloaded.errorOutput;
    });
}

}  // namespace
}  // namespace testsupport::faults
