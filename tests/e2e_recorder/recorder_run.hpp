#pragma once

#include "tests/support/desktop/test_desktop.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e_recorder {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Recording starts within a second on an idle machine; the test machines are shared and noisy.
inline constexpr auto lineTimeout = std::chrono::milliseconds(30s);

// How a recorder-agent process ended, and everything it said.
struct AgentOutcome {
    std::optional<int> status;
    std::string out, err;
};

// One recorder-agent on a test desktop, with the moments at which this side wrote its commands and
// read its lines. The process lives as long as this object (and the thread that created it).
class RecorderRun {
public:
    RecorderRun(const testsupport::TestDesktop& desktop, const std::string& request,
                const std::filesystem::path& workingDirectory);
    // A recorder-agent some other desktop started (e.g. as that desktop's user).
    explicit RecorderRun(std::unique_ptr<testsupport::ChildProcess> agent);

    // Waits for the next line to be "Recording started"; false on timeout or any other line.
    bool waitUntilStarted();
    // Writes one command line ("stop", "pause", ...).
    void send(const std::string& command);
    // Waits for the next standard output line; none on timeout or end of output.
    std::optional<std::string> nextLine();
    // Sends "stop" and remembers when.
    void stop();
    // Waits for the process to end; remembers when the last standard output line arrived.
    AgentOutcome finish();

    testsupport::ChildProcess& process() { return *agent_; }

    // Seconds between reading "Recording started" and writing "stop" (or sending the stopping signal).
    double observedSeconds() const;
    // Seconds between writing "stop" and reading the next line (the stop's round trip).
    double stopRoundTripSeconds() const;
    void markStopSent() { stopSentAt_ = Clock::now(); }

private:
    std::unique_ptr<testsupport::ChildProcess> agent_;
    Clock::time_point startedSeenAt_, stopSentAt_, lastLineAt_;
};

// A request for the main display into `outputPath`, plus any further JSON members (",\"displayId\":5").
std::string displayRequest(const std::string& outputPath, const std::string& extraMembers = {});

// A client program on the desktop that prints "READY <window id>" once its window is on screen.
struct DesktopClient {
    std::unique_ptr<testsupport::ChildProcess> process;
    unsigned long windowId = 0;
};
// Starts moving-picture or test-window with `arguments` and waits for READY. Its standard input stays
// open: moving-picture ends at end of input.
DesktopClient startClient(const testsupport::TestDesktop& desktop, const std::string& program,
                          const std::vector<std::string>& arguments);

// The absolute position of a window's client area, from xwininfo.
struct WindowPlace {
    int x = 0, y = 0, width = 0, height = 0;
};
std::optional<WindowPlace> windowPlace(const testsupport::TestDesktop& desktop, unsigned long windowId);

}  // namespace e2e_recorder
