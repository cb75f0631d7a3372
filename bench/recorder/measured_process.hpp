#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace recorder_bench {

using Clock = std::chrono::steady_clock;

// What the kernel accounted for a process that has ended.
struct ProcessUsage {
    int status = -1;            // exit status, or 128 + signal
    double cpuSeconds = 0;      // user + system
    double peakMemoryMb = 0;    // ru_maxrss
    Clock::time_point endedAt;  // when wait4 returned
};

// A child with piped standard input and output, reaped with wait4 so its own resource usage can be
// read (a reaper thread that only waits would lose it). Standard error goes to a file.
class MeasuredProcess {
public:
    MeasuredProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnvironment,
                    const std::string& stderrPath);
    ~MeasuredProcess();  // kills and reaps the child if it still runs
    MeasuredProcess(const MeasuredProcess&) = delete;
    MeasuredProcess& operator=(const MeasuredProcess&) = delete;

    // The next standard output line, or none after `timeout` or at end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    void write(const std::string& text);
    // Reads and drops standard output until it ends, then reaps the child.
    ProcessUsage wait();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1, stdoutFd_ = -1;
    std::string pending_;
    bool outputEnded_ = false;
};

// CPU seconds (user + system) a running process has used so far, from /proc; none once it has gone.
std::optional<double> cpuSecondsSoFar(pid_t pid);

// The system's load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
std::string loadAverage();

}  // namespace recorder_bench
