#include "tests/e2e_audio/recording_run.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "tests/support/desktop/test_programs.hpp"

namespace e2eaudio {

int64_t hostNowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "e2e-audio-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    // Someone investigating a failure can keep the recordings to look at.
    if (std::getenv("E2E_AUDIO_KEEP_FILES") != nullptr) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<RecordingRun> RecordingRun::launch(const testsupport::TestDesktop& desktop,
                                                   const nlohmann::json& request,
                                                   const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    argv.push_back(testsupport::testProgramPath("recorder-agent"));
    argv.push_back(request.dump());
    auto process = testsupport::ChildProcess::spawn(argv, desktop.environment());
    return std::unique_ptr<RecordingRun>(new RecordingRun(std::move(process)));
}

bool RecordingRun::waitUntilStarted(std::chrono::milliseconds timeout) {
    auto line = process_->readStdoutLine(timeout);
    startedNs_ = hostNowNs();
    return line && *line == "Recording started";
}

std::optional<int64_t> RecordingRun::command(const std::string& line, const std::string& confirmation) {
    const int64_t sentNs = hostNowNs();
    process_->writeStdin(line + "\n");
    if (!process_->waitForStdoutLine(confirmation, std::chrono::seconds(10))) return std::nullopt;
    return sentNs;
}

std::optional<int64_t> RecordingRun::pause() { return command("pause", "Recording paused"); }
std::optional<int64_t> RecordingRun::resume() { return command("resume", "Recording resumed"); }

void RecordingRun::send(const std::string& line) { process_->writeStdin(line + "\n"); }

bool RecordingRun::waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    return process_->waitForStdoutLine(line, timeout);
}

std::optional<int> RecordingRun::stop(std::chrono::milliseconds timeout) {
    stopSentNs_ = hostNowNs();
    process_->writeStdin("stop\n");
    return process_->waitForExit(timeout);
}

std::string RecordingRun::transcript() const {
    return "recorder-agent stdout:\n" + process_->stdoutSoFar() + "stderr:\n" + process_->stderrSoFar();
}

nlohmann::json audioRequest(const TemporaryDirectory& directory, bool systemAudio, bool microphone) {
    nlohmann::json request = {{"outputPath", directory.file("video.mp4")}};
    if (systemAudio) {
        request["capturesSystemAudio"] = true;
        request["systemAudioOutputPath"] = directory.file("system.m4a");
    }
    if (microphone) {
        request["capturesMicrophone"] = true;
        request["microphoneOutputPath"] = directory.file("microphone.m4a");
    }
    return request;
}

}  // namespace e2eaudio
