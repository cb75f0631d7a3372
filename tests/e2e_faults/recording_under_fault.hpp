#pragma once

#include "tests/support/desktop/test_desktop.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport::faults {

using Clock = std::chrono::steady_clock;

// How a recorder-agent process ended: its exit status and everything it printed.
struct Outcome {
    std::optional<int> status;  // none when it did not end in time
    std::string out, err;
};

// The standard-error lines that begin with `prefix`.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

// Seconds between two instants, for comparing with media timestamps.
double secondsBetween(Clock::time_point from, Clock::time_point to);

// Where the last packet of a stream ends on the file's timeline (pts + duration of the latest
// packet), read packet by packet so that a file without an index is measured too. `selector` is an
// ffprobe stream selector ("v:0", "a:0"). None when the stream has no packet.
std::optional<double> streamEndSeconds(const std::string& path, const std::string& selector);

// The shortest gap between two consecutive video frames of a file, in seconds; none with fewer
// than two frames.
std::optional<double> closestVideoFrameSpacing(const std::string& path);

// Expects `ffmpeg -v error` to decode the whole file without a word. On failure the message also
// gives the closest spacing of video frames: frames closer than the stream's minimum interval are
// what makes ffmpeg complain about timestamps that are not increasing.
void expectDecodesCleanly(const std::string& path);

// The types of the top-level boxes of an MPEG-4 file, in file order. A box whose declared size
// runs past the end of the file is listed with a trailing "!" (a box cut short).
std::vector<std::string> topLevelBoxes(const std::string& path);

// Runs a system tool to its end (mount, chattr, ...); its exit status and standard error.
struct ToolResult {
    int status = -1;
    std::string errors;
};
ToolResult runTool(const std::vector<std::string>& argv);

// The peak resident memory of a running process in KiB (VmHWM), none once it has gone.
std::optional<long> peakResidentKiB(int pid);

// A display recording on a small private desktop with moving content, and the means to cause a
// fault while it runs. The screen is small so that several of these tests can share a two-core
// machine; the moving picture covers most of it, so every frame differs.
class RecordingUnderFault : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void startDesktop(bool withPulseAudio = false);
    // A window that changes every frame; its standard input stays open while the test runs.
    void showMovingPicture();

    std::filesystem::path path(const std::string& name) const { return directory_ / name; }
    static std::string displayRequest(const std::string& outputPath);

    // Starts recorder-agent with `request`, or `launcher` followed by recorder-agent and the request
    // (e.g. prlimit, or a shell that plays the parent).
    std::unique_ptr<ChildProcess> startRecorder(const std::string& request,
                                                const std::vector<std::string>& launcher = {});
    // Waits for "Recording started" and returns when it was seen. Fails the test on a timeout.
    Clock::time_point waitUntilRecording(ChildProcess& recorder);
    // Writes "stop" and waits for the exit.
    static Outcome stopAndWait(ChildProcess& recorder);
    static Outcome waitForEnd(ChildProcess& recorder);

    std::filesystem::path directory_;
    std::unique_ptr<TestDesktop> desktop_;
    std::unique_ptr<ChildProcess> picture_;
};

// The time a recording may run before its fault is caused: long enough for a few fragments.
inline constexpr std::chrono::milliseconds kRecordBeforeFault{3000};
// The time the recorder is left running after its fault, before "stop".
inline constexpr std::chrono::milliseconds kRecordAfterFault{2000};

}  // namespace testsupport::faults
