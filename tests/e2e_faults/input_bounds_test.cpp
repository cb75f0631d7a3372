// Inputs from the parent of any size: they must neither exhaust memory nor stop a recording.

#include "tests/e2e_faults/recording_under_fault.hpp"

#include <iostream>
#include <thread>

namespace testsupport::faults {
namespace {

using namespace std::chrono_literals;

constexpr size_t kHugeLineBytes = 10 * 1024 * 1024;
// A reader that held the whole line would grow by at least its size.
constexpr long kMostExtraPeakKiB = 16 * 1024;

using InputBounds = RecordingUnderFault;

// The peak memory of a recording that has run for a while and then taken `input` and "pause".
long peakAfterInput(ChildProcess& recorder, const std::string& input) {
    std::this_thread::sleep_for(kRecordBeforeFault);
    recorder.writeStdin(input);
    recorder.writeStdin("pause\n");
    // "Recording paused" proves the reader has got past everything before it.
    EXPECT_TRUE(recorder.waitForStdoutLine("Recording paused", 30s)) << recorder.stderrSoFar();
    return peakResidentKiB(recorder.pid()).value_or(-1);
}

TEST_F(InputBounds, AHugeInputLineIsIgnoredWithoutGrowingMemory) {
    startDesktop();
    showMovingPicture();

    const auto normal = path("normal.mp4").string();
    auto normalRecorder = startRecorder(displayRequest(normal));
    waitUntilRecording(*normalRecorder);
    const long normalPeak = peakAfterInput(*normalRecorder, "");
    const auto normalOutcome = stopAndWait(*normalRecorder);
    ASSERT_EQ(normalOutcome.status, 0) << normalOutcome.err;

    const auto flooded = path("flooded.mp4").string();
    auto recorder = startRecorder(displayRequest(flooded));
    waitUntilRecording(*recorder);
    // Ten megabytes without a line end, then the line end: not a command.
    const long floodedPeak = peakAfterInput(*recorder, std::string(kHugeLineBytes, 's') + "\n");
    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Recording started\nRecording paused\nRecording stopped. Output path: " + flooded + "\n");
    EXPECT_EQ(outcome.err, "");
    expectDecodesCleanly(flooded);

    ASSERT_GT(normalPeak, 0);
    ASSERT_GT(floodedPeak, 0);
    std::cout << "peak resident memory: normal run " << normalPeak / 1024 << " MiB, with a 10 MiB line "
              << floodedPeak / 1024 << " MiB\n";
    EXPECT_LT(floodedPeak - normalPeak, kMostExtraPeakKiB);
}

TEST_F(InputBounds, ARequestNestedTooDeeplyIsRefusedAtStart) {
    startDesktop();
    // Valid JSON that a recursive parser would descend 10000 levels into.
    const std::string nested = std::string(10000, '[') + std::string(10000, ']');
    const auto output = path("never.mp4").string();
    auto recorder = startRecorder(R"({"outputPath":")" + output + R"(","extra":)" + nested + "}");
    recorder->closeStdin();
    const auto outcome = waitForEnd(*recorder);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Error starting capture: the request nests arrays or objects more than 64 levels deep\n");
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(InputBounds, ALargeButValidRequestStillRecords) {
    startDesktop();
    showMovingPicture();
    // 100 KiB of a key the recorder does not know: close to what the kernel allows for one argument.
    const auto output = path("large-request.mp4").string();
    auto recorder =
        startRecorder(R"({"padding":")" + std::string(100 * 1024, 'p') + R"(","outputPath":")" + output + R"("})");
    waitUntilRecording(*recorder);
    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Recording started\nRecording stopped. Output path: " + output + "\n");
}

}  // namespace
}  // namespace testsupport::faults
