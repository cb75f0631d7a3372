#pragma once

#include "tests/support/desktop/process_launch.hpp"
#include "tests/support/desktop/test_desktop.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace testsupport {

// One thread drains stdout and stderr (with poll, so it can be woken), another waits for the exit.
class ChildProcess::Impl {
public:
    explicit Impl(LaunchedProcess launched);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    int pid() const { return pid_; }
    void writeStdin(const std::string& text);
    void closeStdin();
    std::optional<std::string> readStdoutLine(std::chrono::milliseconds timeout);
    bool stdoutEnded() const;
    std::string stdoutSoFar() const;
    std::string stderrSoFar() const;
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    void sendSignal(int signal);

private:
    void signalGroup(int signal);
    void reap();
    void readOutput();
    void appendStdoutLocked(std::string_view data);
    void finishStdoutLocked();

    const pid_t pid_;
    std::mutex stdinMutex_;
    UniqueFd stdinFd_;
    UniqueFd stdoutFd_, stderrFd_, wakeFd_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::string stdout_, stderr_, partialLine_;
    std::deque<std::string> lines_;
    bool stdoutEnded_ = false, stderrEnded_ = false;
    std::optional<int> exitStatus_;
    std::optional<std::chrono::steady_clock::time_point> exitedAt_;

    std::thread reader_, reaper_;
};

}  // namespace testsupport
