// The recorder's own process is killed, or its parent is: the recording on disk must survive.

#include "tests/e2e_faults/recording_under_fault.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <thread>

namespace testsupport::faults {
namespace {

using namespace std::chrono_literals;

// A killed recording loses at most the fragment being built and what waits in the encoder:
// about one second.
constexpr double kMostSecondsLostToAKill = 1.0;
// Scheduling slack between seeing a line and the moment the frame it reports was captured.
constexpr double kTimingSlackSeconds = 0.3;

using ProcessFault = RecordingUnderFault;

TEST_F(ProcessFault, SigkillLeavesAFileThatPlaysUpToAboutASecondBeforeTheKill) {
    startDesktop();
    showMovingPicture();
    const auto output = path("killed.mp4").string();
    auto recorder = startRecorder(displayRequest(output));
    const auto started = waitUntilRecording(*recorder);
    std::this_thread::sleep_for(kRecordBeforeFault);

    const auto killedAt = Clock::now();
    recorder->sendSignal(SIGKILL);
    const auto outcome = waitForEnd(*recorder);
    EXPECT_EQ(outcome.status, 128 + SIGKILL);
    EXPECT_EQ(outcome.out, "Recording started\n");
    EXPECT_EQ(outcome.err, "");

    expectDecodesCleanly(output);
    const auto videoEnd = streamEndSeconds(output, "v:0");
    ASSERT_TRUE(videoEnd.has_value()) << "no video in " << output;
    const double recordedFor = secondsBetween(started, killedAt);
    std::cout << "recorded for " << recordedFor << " s before SIGKILL; the file holds " << *videoEnd
              << " s of video\n";
    EXPECT_GE(*videoEnd, recordedFor - kMostSecondsLostToAKill - kTimingSlackSeconds)
        << "recorded for " << recordedFor << " s before the kill";
    EXPECT_LE(*videoEnd, recordedFor + kTimingSlackSeconds);
    // Nobody finished the file: it is still fragments, with no complete header after them.
    const auto boxes = topLevelBoxes(output);
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes.back(), "moov");
    EXPECT_NE(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end());
}

// The recorder's parent is a shell that is killed with SIGKILL. The recorder learns of it from the
// kernel (a termination signal on the parent's death) and finishes the file as "stop" would.
TEST_F(ProcessFault, DeathOfTheParentFinishesTheRecording) {
    // The orphaned recorder becomes our child, so that its exit status can be read.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    startDesktop();
    showMovingPicture();
    const auto output = path("orphaned.mp4").string();
    // A non-interactive shell gives a background job /dev/null as standard input; the recorder
    // gets the shell's own (kept open by this test) instead, as it would from a real parent.
    auto parent = startRecorder(
        displayRequest(output),
        {"/bin/sh", "-c", R"(exec 3<&0; "$0" "$1" <&3 3<&- & echo "RECORDER $!"; wait)"});
    const auto announced = parent->readStdoutLine(30s);
    ASSERT_TRUE(announced && announced->rfind("RECORDER ", 0) == 0) << parent->stderrSoFar();
    const pid_t recorderPid = std::stoi(announced->substr(9));
    waitUntilRecording(*parent);
    std::this_thread::sleep_for(kRecordBeforeFault);

    parent->sendSignal(SIGKILL);  // the shell alone, not its process group
    ASSERT_EQ(parent->waitForExit(10s), 128 + SIGKILL);

    int status = 0;
    pid_t reaped = 0;
    const auto deadline = Clock::now() + 60s;
    while ((reaped = ::waitpid(recorderPid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(reaped, recorderPid) << "the recorder did not end after its parent died";
    ASSERT_TRUE(WIFEXITED(status)) << "the recorder was ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The recorder inherited the shell's standard streams, so its lines are still there to read.
    EXPECT_TRUE(parent->waitForStdoutLine("Recording stopped. Output path: " + output, 10s));
    EXPECT_EQ(parent->stderrSoFar(), "");

    expectDecodesCleanly(output);
    const auto boxes = topLevelBoxes(output);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "moov") << "a finished file ends with its complete movie header";
    const auto info = probeMedia(output);
    ASSERT_TRUE(info.has_value());
    const auto videoEnd = streamEndSeconds(output, "v:0");
    ASSERT_TRUE(videoEnd.has_value());
    // The header states the length (players that read only the header show it).
    EXPECT_NEAR(info->duration, *videoEnd, 0.1);
    EXPECT_GE(info->duration, std::chrono::duration<double>(kRecordBeforeFault).count() - kTimingSlackSeconds);
}

}  // namespace
}  // namespace testsupport::faults
