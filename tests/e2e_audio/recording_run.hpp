#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/desktop/test_desktop.hpp"

namespace e2eaudio {

// The host clock the recorder stamps its samples with (CLOCK_MONOTONIC), in nanoseconds.
int64_t hostNowNs();

// A private directory for one test's output files, removed with everything in it (unless the
// environment has E2E_AUDIO_KEEP_FILES, for looking at the recordings of a failed test).
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// One run of the built recorder-agent on a test desktop, driven through its standard input the way
// the parent application drives it, with the host times at which each step took effect.
class RecordingRun {
public:
    // Starts the recorder with `request` as its argument, through `wrapper` (a command line such as
    // {"taskset", "-c", "0"}) when one is given; does not wait for anything.
    static std::unique_ptr<RecordingRun> launch(const testsupport::TestDesktop& desktop, const nlohmann::json& request,
                                                const std::vector<std::string>& wrapper = {});

    // Waits for "Recording started"; false when another line, the end of output or the timeout comes first.
    bool waitUntilStarted(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // The host time at which "Recording started" was read: just after the first frame was written.
    int64_t startedNs() const { return startedNs_; }

    // Sends the command and waits for its confirmation line ("Recording paused" / "Recording resumed").
    // The result is the host time at which the command was sent, none when it was not confirmed.
    std::optional<int64_t> pause();
    std::optional<int64_t> resume();
    // Sends a raw line without waiting for anything.
    void send(const std::string& line);
    // The next stdout line, none after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) { return process_->readStdoutLine(timeout); }
    // Waits for one exact stdout line.
    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout);

    // Sends "stop" and waits for the process to end; its exit status, none on timeout.
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // The host time at which "stop" was sent.
    int64_t stopSentNs() const { return stopSentNs_; }

    std::optional<int> waitForExit(std::chrono::milliseconds timeout) { return process_->waitForExit(timeout); }
    int pid() const { return process_->pid(); }
    std::string standardOutput() const { return process_->stdoutSoFar(); }
    std::string standardError() const { return process_->stderrSoFar(); }
    // Everything the process said, for failure messages.
    std::string transcript() const;

private:
    explicit RecordingRun(std::unique_ptr<testsupport::ChildProcess> process) : process_(std::move(process)) {}
    std::optional<int64_t> command(const std::string& line, const std::string& confirmation);

    std::unique_ptr<testsupport::ChildProcess> process_;
    int64_t startedNs_ = 0;
    int64_t stopSentNs_ = 0;
};

// A request for a whole-display recording into `directory`: video.mp4, and the two audio files
// system.m4a and microphone.m4a when the matching flag is set (paths are given for both whenever
// the source is captured, so that the routing, not the request, decides which files appear).
nlohmann::json audioRequest(const TemporaryDirectory& directory, bool systemAudio, bool microphone);

}  // namespace e2eaudio
