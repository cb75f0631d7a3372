#include "tests/e2e_faults/recording_under_fault.hpp"

#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/test_programs.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace testsupport::faults {
namespace {

using namespace std::chrono_literals;

constexpr int kScreenWidth = 800;
constexpr int kScreenHeight = 600;
// Generous: a start or a finish on a busy shared machine can take seconds.
constexpr auto kStartTimeout = 30s;
constexpr auto kEndTimeout = 60s;
constexpr auto kToolTimeout = 120s;

uint64_t readBigEndian(const unsigned char* bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

}  // namespace

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

ToolResult runTool(const std::vector<std::string>& argv) {
    auto tool = ChildProcess::spawn(argv);
    tool->closeStdin();
    ToolResult result;
    result.status = tool->waitForExit(kToolTimeout).value_or(-1);
    result.errors = tool->stderrSoFar();
    return result;
}

std::optional<double> streamEndSeconds(const std::string& path, const std::string& selector) {
    auto probe = ChildProcess::spawn({"ffprobe", "-v", "quiet", "-select_streams", selector, "-show_entries",
                                      "packet=pts_time,duration_time", "-of", "csv=p=0", path});
    probe->closeStdin();
    if (!probe->waitForExit(kToolTimeout)) return std::nullopt;
    std::optional<double> end;
    std::istringstream lines(probe->stdoutSoFar());
    lines.imbue(std::locale::classic());
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        double pts = 0, duration = 0;
        char comma = 0;
        if (!(fields >> pts)) continue;
        if (!(fields >> comma >> duration)) duration = 0;  // "N/A" or absent
        end = std::max(end.value_or(0.0), pts + duration);
    }
    return end;
}

std::optional<double> closestVideoFrameSpacing(const std::string& path) {
    auto probe = ChildProcess::spawn(
        {"ffprobe", "-v", "quiet", "-select_streams", "v:0", "-show_entries", "packet=pts_time", "-of", "csv=p=0", path});
    probe->closeStdin();
    if (!probe->waitForExit(kToolTimeout)) return std::nullopt;
    std::vector<double> times;
    std::istringstream lines(probe->stdoutSoFar());
    lines.imbue(std::locale::classic());
    for (double time = 0; lines >> time;) times.push_back(time);
    std::sort(times.begin(), times.end());
    std::optional<double> closest;
    for (size_t i = 1; i < times.size(); ++i) closest = std::min(closest.value_or(1e9), times[i] - times[i - 1]);
    return closest;
}

void expectDecodesCleanly(const std::string& path) {
    std::string errors;
    if (decodesCleanly(path, &errors)) return;
    const auto spacing = closestVideoFrameSpacing(path);
    ADD_FAILURE() << path << " does not decode cleanly; closest video frames "
                  << (spacing ? std::to_string(*spacing * 1000) + " ms" : std::string("(none)")) << " apart:\n"
                  << errors.substr(0, 2000);
}

std::vector<std::string> topLevelBoxes(const std::string& path) {
    std::vector<std::string> boxes;
    std::ifstream file(path, std::ios::binary);
    file.seekg(0, std::ios::end);
    const auto fileSize = static_cast<uint64_t>(file.tellg());
    uint64_t offset = 0;
    while (offset + 8 <= fileSize) {
        unsigned char header[16];
        file.seekg(static_cast<std::streamoff>(offset));
        if (!file.read(reinterpret_cast<char*>(header), 8)) break;
        uint64_t size = readBigEndian(header, 4);
        std::string type(reinterpret_cast<const char*>(header + 4), 4);
        if (size == 1) {
            if (!file.read(reinterpret_cast<char*>(header + 8), 8)) break;
            size = readBigEndian(header + 8, 8);
        } else if (size == 0) {
            size = fileSize - offset;  // runs to the end of the file
        }
        if (size < 8 || offset + size > fileSize) {
            boxes.push_back(type + "!");
            break;
        }
        boxes.push_back(type);
        offset += size;
    }
    return boxes;
}

std::optional<long> peakResidentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return std::nullopt;
}

void RecordingUnderFault::SetUp() {
    directory_ = std::filesystem::temp_directory_path() /
                 ("e2e-faults-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
}

void RecordingUnderFault::TearDown() {
    picture_.reset();
    desktop_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void RecordingUnderFault::startDesktop(bool withPulseAudio) {
    desktop_ = TestDesktop::start(
        {.screenWidth = kScreenWidth, .screenHeight = kScreenHeight, .windowManager = false, .pulseAudio = withPulseAudio});
}

void RecordingUnderFault::showMovingPicture() {
    picture_ = ChildProcess::spawn({testProgramPath("moving-picture"), "--width", std::to_string(kScreenWidth - 40),
                                    "--height", std::to_string(kScreenHeight - 40), "--x", "20", "--y", "20"},
                                   desktop_->environment());
    auto ready = picture_->readStdoutLine(kStartTimeout);
    ASSERT_TRUE(ready && ready->rfind("READY ", 0) == 0) << "moving-picture did not start: " << picture_->stderrSoFar();
}

std::string RecordingUnderFault::displayRequest(const std::string& outputPath) {
    return R"({"outputPath":")" + outputPath + R"("})";
}

std::unique_ptr<ChildProcess> RecordingUnderFault::startRecorder(const std::string& request,
                                                                 const std::vector<std::string>& launcher) {
    std::vector<std::string> argv = launcher;
    argv.push_back(testProgramPath("recorder-agent"));
    argv.push_back(request);
    return ChildProcess::spawn(argv, desktop_->environment(), directory_.string());
}

Clock::time_point RecordingUnderFault::waitUntilRecording(ChildProcess& recorder) {
    const bool started = recorder.waitForStdoutLine("Recording started", kStartTimeout);
    const auto seen = Clock::now();
    EXPECT_TRUE(started) << "no \"Recording started\"; standard error: " << recorder.stderrSoFar();
    return seen;
}

Outcome RecordingUnderFault::waitForEnd(ChildProcess& recorder) {
    Outcome outcome;
    outcome.status = recorder.waitForExit(kEndTimeout);
    outcome.out = recorder.stdoutSoFar();
    outcome.err = recorder.stderrSoFar();
    return outcome;
}

Outcome RecordingUnderFault::stopAndWait(ChildProcess& recorder) {
    recorder.writeStdin("stop\n");
    return waitForEnd(recorder);
}

}  // namespace testsupport::faults
