#include "tests/e2e_recorder/recorder_run.hpp"

#include "tests/support/desktop/test_programs.hpp"

#include <regex>
#include <stdexcept>

namespace e2e_recorder {

namespace {

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

RecorderRun::RecorderRun(const testsupport::TestDesktop& desktop, const std::string& request,
                         const std::filesystem::path& workingDirectory) {
    agent_ = testsupport::ChildProcess::spawn({testsupport::testProgramPath("recorder-agent"), request},
                                              desktop.environment(), workingDirectory.string());
}

RecorderRun::RecorderRun(std::unique_ptr<testsupport::ChildProcess> agent) : agent_(std::move(agent)) {}

bool RecorderRun::waitUntilStarted() {
    auto line = agent_->readStdoutLine(lineTimeout);
    startedSeenAt_ = Clock::now();
    return line == "Recording started";
}

void RecorderRun::send(const std::string& command) { agent_->writeStdin(command + "\n"); }

std::optional<std::string> RecorderRun::nextLine() {
    auto line = agent_->readStdoutLine(lineTimeout);
    lastLineAt_ = Clock::now();
    return line;
}

void RecorderRun::stop() {
    stopSentAt_ = Clock::now();
    send("stop");
}

AgentOutcome RecorderRun::finish() {
    AgentOutcome outcome;
    // Finishing includes draining the encoder and syncing the file to disk.
    outcome.status = agent_->waitForExit(60s);
    if (lastLineAt_ == Clock::time_point{}) lastLineAt_ = Clock::now();
    outcome.out = agent_->stdoutSoFar();
    outcome.err = agent_->stderrSoFar();
    return outcome;
}

double RecorderRun::observedSeconds() const { return secondsBetween(startedSeenAt_, stopSentAt_); }
double RecorderRun::stopRoundTripSeconds() const { return secondsBetween(stopSentAt_, lastLineAt_); }

std::string displayRequest(const std::string& outputPath, const std::string& extraMembers) {
    return R"({"outputPath":")" + outputPath + "\"" + extraMembers + "}";
}

DesktopClient startClient(const testsupport::TestDesktop& desktop, const std::string& program,
                          const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{testsupport::testProgramPath(program)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    DesktopClient client;
    client.process = testsupport::ChildProcess::spawn(argv, desktop.environment());
    auto line = client.process->readStdoutLine(lineTimeout);
    if (!line || line->rfind("READY ", 0) != 0)
        throw std::runtime_error(program + " did not get its window on screen; it said: " + line.value_or("(nothing)") +
                                 " " + client.process->stderrSoFar());
    client.windowId = std::stoul(line->substr(6));
    return client;
}

std::optional<WindowPlace> windowPlace(const testsupport::TestDesktop& desktop, unsigned long windowId) {
    auto info = desktop.run("xwininfo -id " + std::to_string(windowId));
    if (info.status != 0) return std::nullopt;
    auto field = [&](const char* name) -> std::optional<int> {
        std::smatch match;
        if (!std::regex_search(info.output, match, std::regex(std::string(name) + ":\\s*(-?\\d+)"))) return std::nullopt;
        return std::stoi(match[1].str());
    };
    auto x = field("Absolute upper-left X"), y = field("Absolute upper-left Y");
    auto width = field("Width"), height = field("Height");
    if (!x || !y || !width || !height) return std::nullopt;
    return WindowPlace{*x, *y, *width, *height};
}

}  // namespace e2e_recorder
