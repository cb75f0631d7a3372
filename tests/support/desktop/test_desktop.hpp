#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A RandR monitor to define on the test screen, in root pixels.
struct MonitorSpec {
    std::string name = {};  // e.g. "DISP1"
    int x = 0, y = 0, width = 0, height = 0;
};

struct DesktopOptions {
    int screenWidth = 1920;
    int screenHeight = 1080;
    bool windowManager = true;   // openbox
    bool pulseAudio = false;     // a private PulseAudio server with sinks "sysout" and "micfeed",
                                 // default source "mic" (description "TestMic"), silent keep-alive streams
    std::vector<MonitorSpec> monitors = {};  // empty: the screen's single default monitor
};

// A private headless desktop: Xvfb (-noreset, display number chosen by Xvfb through -displayfd),
// optionally openbox and PulseAudio. Everything it starts is stopped by its destructor.
class TestDesktop {
public:
    // Throws std::runtime_error with what failed when a part cannot be started.
    static std::unique_ptr<TestDesktop> start(const DesktopOptions& options = {});
    ~TestDesktop();

    const std::string& display() const;  // ":N"
    // Environment for programs that should use this desktop: DISPLAY, and with PulseAudio
    // XDG_RUNTIME_DIR and PULSE_SERVER.
    std::map<std::string, std::string> environment() const;
    // Runs a shell command in this desktop's environment; returns its exit status and output.
    // `output` is standard output; `errorOutput` standard error.
    struct CommandResult { int status = -1; std::string output; std::string errorOutput; };
    CommandResult run(const std::string& shellCommand) const;

    // The X server's process id, e.g. to measure what a client costs it.
    int xServerPid() const;
    // Kills the X server (for tests of a display that goes away).
    void killXServer();
    // Kills the PulseAudio server.
    void killPulseAudio();

    class Impl;
private:
    explicit TestDesktop(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A child process with piped standard input, output and error. argv[0] without a slash is searched
// on PATH. The child leads its own process group (stopping it stops what it started) and is killed
// when the thread that spawned it ends, so spawn from a thread that lives as long as the child.
class ChildProcess {
public:
    // `argv[0]` is the program path. The environment is this process's plus `extraEnvironment`.
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                               const std::map<std::string, std::string>& extraEnvironment = {},
                                               const std::string& workingDirectory = {});
    // The same with exactly `environment` (nothing inherited), e.g. to run without DISPLAY.
    static std::unique_ptr<ChildProcess> spawnWithExactEnvironment(const std::vector<std::string>& argv,
                                                                   const std::map<std::string, std::string>& environment,
                                                                   const std::string& workingDirectory = {});
    ~ChildProcess();  // kills the child if it still runs

    int pid() const;
    void writeStdin(const std::string& text);
    void closeStdin();
    // The next complete line of standard output (without "\n"), or none after `timeout`.
    std::optional<std::string> readStdoutLine(std::chrono::milliseconds timeout);
    // Waits for a stdout line equal to `line`; returns false on timeout or end of output.
    bool waitForStdoutLine(const std::string& line, std::chrono::milliseconds timeout);
    // Everything read from stdout and stderr so far (stderr is collected in the background).
    std::string stdoutSoFar() const;
    std::string stderrSoFar() const;
    // Exit status (or 128 + signal), or none when it has not ended within `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    void sendSignal(int signal);

    class Impl;
private:
    explicit ChildProcess(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
