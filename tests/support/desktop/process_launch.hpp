#pragma once

#include "tests/support/desktop/unique_fd.hpp"

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A started child: its pid and our ends of its standard streams.
struct LaunchedProcess {
    pid_t pid = -1;
    UniqueFd stdinFd;   // a socket, written with MSG_NOSIGNAL
    UniqueFd stdoutFd;
    UniqueFd stderrFd;
};

// This process's environment as a map.
std::map<std::string, std::string> currentEnvironment();

// The full path of `program`: itself when it contains a slash, else the first match on PATH.
// Empty when nothing executable is found.
std::string findProgram(const std::string& program, const std::string& searchPath);

// Starts argv[0] (searched on the PATH of `environment` when it has no slash) in a process group of
// its own, killed when this process dies. Throws std::runtime_error naming the program when the
// exec fails (e.g. "cannot run Xvfb: No such file or directory").
LaunchedProcess launchProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                              const std::string& workingDirectory);

}  // namespace testsupport
