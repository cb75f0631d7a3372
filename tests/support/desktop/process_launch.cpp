#include "tests/support/desktop/process_launch.hpp"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

std::pair<UniqueFd, UniqueFd> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::pair<UniqueFd, UniqueFd> makeSocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("cannot create a socket pair: ") + std::strerror(errno));
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Null-terminated pointer arrays built before fork: the child may only make async-signal-safe calls.
class CStringArray {
public:
    explicit CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
        for (auto& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char** get() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

[[noreturn]] void failInChild(int errorFd, int error) {
    [[maybe_unused]] auto written = ::write(errorFd, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        result.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return result;
}

std::string findProgram(const std::string& program, const std::string& searchPath) {
    if (program.find('/') != std::string::npos) return program;
    std::stringstream directories(searchPath.empty() ? std::string("/usr/local/bin:/usr/bin:/bin") : searchPath);
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

LaunchedProcess launchProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                              const std::string& workingDirectory) {
    if (argv.empty()) throw std::invalid_argument("cannot start a process without a program");
    auto pathEntry = environment.find("PATH");
    std::string path = findProgram(argv[0], pathEntry == environment.end() ? std::string() : pathEntry->second);
    if (path.empty()) throw std::runtime_error("cannot run " + argv[0] + ": not found on PATH");

    std::vector<std::string> environmentLines;
    for (const auto& [name, value] : environment) environmentLines.push_back(name + "=" + value);
    CStringArray childArgv(argv), childEnvironment(std::move(environmentLines));

    auto [stdinOurs, stdinTheirs] = makeSocketPair();
    auto [stdoutOurs, stdoutTheirs] = makePipe();
    auto [stderrOurs, stderrTheirs] = makePipe();
    auto [errorRead, errorWrite] = makePipe();  // carries errno when exec fails; closed by a successful exec
    const pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        // A process group of its own, so that stopping it also stops whatever it started.
        ::setpgid(0, 0);
        // Never outlive the test: a crashed or killed test must not leave a desktop behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(stdinTheirs.get(), 0) < 0 || ::dup2(stdoutTheirs.get(), 1) < 0 || ::dup2(stderrTheirs.get(), 2) < 0)
            failInChild(errorWrite.get(), errno);
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) failInChild(errorWrite.get(), errno);
        ::execve(path.c_str(), childArgv.get(), childEnvironment.get());
        failInChild(errorWrite.get(), errno);
    }
    errorWrite.reset();
    int childError = 0;
    ssize_t n;
    do {
        n = ::read(errorRead.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof childError)) {
        ::waitpid(pid, nullptr, 0);
        std::string where = workingDirectory.empty() ? "" : " in " + workingDirectory;
        throw std::runtime_error("cannot run " + path + where + ": " + std::strerror(childError));
    }
    LaunchedProcess launched;
    launched.pid = pid;
    launched.stdinFd = std::move(stdinOurs);
    launched.stdoutFd = std::move(stdoutOurs);
    launched.stderrFd = std::move(stderrOurs);
    return launched;
}

}  // namespace testsupport
