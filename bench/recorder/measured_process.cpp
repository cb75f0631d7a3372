#include "bench/recorder/measured_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace recorder_bench {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

MeasuredProcess::MeasuredProcess(const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& extraEnvironment,
                                 const std::string& stderrPath) {
    // Everything the child needs is built before fork: between fork and exec only system calls.
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : extraEnvironment) environment[name] = value;
    std::vector<std::string> environmentText;
    for (const auto& [name, value] : environment) environmentText.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& text : environmentText) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& text : argvCopy) args.push_back(text.data());
    args.push_back(nullptr);

    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot create pipes: ") + std::strerror(errno));
    const int errorFile = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (errorFile < 0) throw std::runtime_error("cannot create " + stderrPath + ": " + std::strerror(errno));
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(errorFile, STDERR_FILENO);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(errorFile);
    stdinFd_ = input[1];
    stdoutFd_ = output[0];
}

MeasuredProcess::~MeasuredProcess() {
    closeIfOpen(stdinFd_);
    closeIfOpen(stdoutFd_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::optional<std::string> MeasuredProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (outputEnded_) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd fd{stdoutFd_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0) outputEnded_ = true;
        else pending_.append(buffer, static_cast<size_t>(n));
    }
}

void MeasuredProcess::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(stdinFd_, text.data() + done, text.size() - done);
        if (n < 0) return;  // the child is gone; wait() will tell
        done += static_cast<size_t>(n);
    }
}

ProcessUsage MeasuredProcess::wait() {
    char buffer[4096];
    while (::read(stdoutFd_, buffer, sizeof buffer) > 0) {
    }
    closeIfOpen(stdinFd_);
    ProcessUsage usage;
    int status = 0;
    rusage resources{};
    if (::wait4(pid_, &status, 0, &resources) == pid_) {
        usage.endedAt = Clock::now();
        usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usage.cpuSeconds = static_cast<double>(resources.ru_utime.tv_sec + resources.ru_stime.tv_sec) +
                           static_cast<double>(resources.ru_utime.tv_usec + resources.ru_stime.tv_usec) / 1e6;
        usage.peakMemoryMb = static_cast<double>(resources.ru_maxrss) / 1024.0;
        pid_ = -1;
    }
    return usage;
}

std::optional<double> cpuSecondsSoFar(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(file, stat)) return std::nullopt;
    // pid (comm) state ppid ... utime is field 14, stime 15; comm may hold spaces, so count from ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index)
        if (index >= 14) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace recorder_bench
