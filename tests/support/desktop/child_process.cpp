#include "tests/support/desktop/test_desktop.hpp"

#include "tests/support/desktop/child_process_impl.hpp"
#include "tests/support/desktop/process_launch.hpp"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

// How long a child gets to end on SIGTERM before it is killed outright.
constexpr std::chrono::milliseconds terminationGrace{2000};
// After the child has been reaped, how long its output may still take to drain. Bounded because a
// grandchild that inherited the pipes could keep them open indefinitely.
constexpr std::chrono::milliseconds drainAfterExit{2000};

int decodeWaitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ChildProcess::Impl::Impl(LaunchedProcess launched)
    : pid_(launched.pid),
      stdinFd_(std::move(launched.stdinFd)),
      stdoutFd_(std::move(launched.stdoutFd)),
      stderrFd_(std::move(launched.stderrFd)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wakeFd_.valid()) throw std::runtime_error(std::string("cannot create an eventfd: ") + std::strerror(errno));
    reader_ = std::thread([this] { readOutput(); });
    reaper_ = std::thread([this] { reap(); });
}

ChildProcess::Impl::~Impl() {
    if (!waitForExit(std::chrono::milliseconds(0))) {
        signalGroup(SIGTERM);
        if (!waitForExit(terminationGrace)) signalGroup(SIGKILL);
    }
    reaper_.join();
    // Whatever the child left running in its group would otherwise keep our pipes open.
    signalGroup(SIGKILL);
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_.get(), &one, sizeof one);
    reader_.join();
}

void ChildProcess::Impl::signalGroup(int signal) {
    // The child leads its own process group (see process_launch.cpp), so this reaches what it started too.
    ::kill(-pid_, signal);
}

void ChildProcess::Impl::reap() {
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, 0);
    } while (result < 0 && errno == EINTR);
    std::lock_guard lock(mutex_);
    exitStatus_ = result == pid_ ? decodeWaitStatus(status) : -1;
    exitedAt_ = std::chrono::steady_clock::now();
    changed_.notify_all();
}

void ChildProcess::Impl::readOutput() {
    bool stdoutOpen = true, stderrOpen = true;
    char buffer[8192];
    while (stdoutOpen || stderrOpen) {
        pollfd fds[3] = {{stdoutOpen ? stdoutFd_.get() : -1, POLLIN, 0},
                         {stderrOpen ? stderrFd_.get() : -1, POLLIN, 0},
                         {wakeFd_.get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[2].revents) break;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard lock(mutex_);
            if (n <= 0) {
                (i == 0 ? stdoutOpen : stderrOpen) = false;
                if (i == 0) finishStdoutLocked();
            } else if (i == 0) {
                appendStdoutLocked(std::string_view(buffer, static_cast<size_t>(n)));
            } else {
                stderr_.append(buffer, static_cast<size_t>(n));
            }
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    if (!stdoutEnded_) finishStdoutLocked();
    stderrEnded_ = true;
    changed_.notify_all();
}

void ChildProcess::Impl::appendStdoutLocked(std::string_view data) {
    stdout_.append(data);
    for (char c : data) {
        if (c == '\n') {
            lines_.push_back(std::move(partialLine_));
            partialLine_.clear();
        } else {
            partialLine_.push_back(c);
        }
    }
}

void ChildProcess::Impl::finishStdoutLocked() {
    // A last line without a line feed is still a line.
    if (!partialLine_.empty()) lines_.push_back(std::move(partialLine_));
    partialLine_.clear();
    stdoutEnded_ = true;
}

void ChildProcess::Impl::writeStdin(const std::string& text) {
    std::lock_guard lock(stdinMutex_);
    if (!stdinFd_.valid()) throw std::logic_error("standard input of the child is already closed");
    size_t done = 0;
    while (done < text.size()) {
        // A socket, so that writing to a child that has gone raises EPIPE instead of SIGPIPE.
        ssize_t n = ::send(stdinFd_.get(), text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::string("cannot write to the child's standard input: ") + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
}

void ChildProcess::Impl::closeStdin() {
    std::lock_guard lock(stdinMutex_);
    stdinFd_.reset();
}

std::optional<std::string> ChildProcess::Impl::readStdoutLine(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !lines_.empty() || stdoutEnded_; });
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

bool ChildProcess::Impl::stdoutEnded() const {
    std::lock_guard lock(mutex_);
    return stdoutEnded_ && lines_.empty();
}

std::string ChildProcess::Impl::stdoutSoFar() const {
    std::lock_guard lock(mutex_);
    return stdout_;
}

std::string ChildProcess::Impl::stderrSoFar() const {
    std::lock_guard lock(mutex_);
    return stderr_;
}

std::optional<int> ChildProcess::Impl::waitForExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [this] { return exitStatus_.has_value(); })) return std::nullopt;
    // Let the reader catch the last output, so that a caller who saw the exit also sees everything printed.
    auto drainDeadline = std::max(deadline, *exitedAt_ + std::chrono::milliseconds(100));
    drainDeadline = std::min(drainDeadline, *exitedAt_ + drainAfterExit);
    changed_.wait_until(lock, drainDeadline, [this] { return stdoutEnded_ && stderrEnded_; });
    return exitStatus_;
}

void ChildProcess::Impl::sendSignal(int signal) {
    std::lock_guard lock(mutex_);
    // Once reaped, the pid may belong to someone else.
    if (!exitStatus_) ::kill(pid_, signal);
}

// The public face.

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::~ChildProcess() = default;

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                  const std::map<std::string, std::string>& extraEnvironment,
                                                  const std::string& workingDirectory) {
    auto environment = currentEnvironment();
    for (const auto& [name, value] : extraEnvironment) environment[name] = value;
    return spawnWithExactEnvironment(argv, environment, workingDirectory);
}

std::unique_ptr<ChildProcess> ChildProcess::spawnWithExactEnvironment(
    const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
    const std::string& workingDirectory) {
    return std::unique_ptr<ChildProcess>(
        new ChildProcess(std::make_unique<Impl>(launchProcess(argv, environment, workingDirectory))));
}

int ChildProcess::pid() const { return impl_->pid(); }
void ChildProcess::writeStdin(const std::string& text) { impl_->writeStdin(text); }
void ChildProcess::closeStdin() { impl_->closeStdin(); }

std::optional<std::string> ChildProcess::readStdoutLine(std::chrono::milliseconds timeout) {
    return impl_->readStdoutLine(timeout);
}

bool ChildProcess::waitForStdoutLine(const std::string& line, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto next = impl_->readStdoutLine(std::max(left, std::chrono::milliseconds(0)));
        if (!next) return false;
        if (*next == line) return true;
    }
}

std::string ChildProcess::stdoutSoFar() const { return impl_->stdoutSoFar(); }
std::string ChildProcess::stderrSoFar() const { return impl_->stderrSoFar(); }
std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) { return impl_->waitForExit(timeout); }
void ChildProcess::sendSignal(int signal) { impl_->sendSignal(signal); }

}  // namespace testsupport
