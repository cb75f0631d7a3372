// with-test-desktop COMMAND [ARGUMENT...]
//
// Runs COMMAND on a private headless desktop (Xvfb, openbox, PulseAudio) with the desktop's
// environment (DISPLAY, PULSE_SERVER, XDG_RUNTIME_DIR) added to its own, and stops the desktop
// when the command has ended. The exit status is the command's (128 + N after signal N). For
// tests written in other languages, which cannot use the C++ test desktop directly.

#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "tests/support/desktop/test_desktop.hpp"

extern char** environ;

namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& additions) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : additions) variables[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: with-test-desktop COMMAND [ARGUMENT...]\n");
        return 2;
    }
    try {
        const auto desktop = testsupport::TestDesktop::start({.windowManager = true, .pulseAudio = true});
        std::vector<std::string> environment = environmentWith(desktop->environment());
        std::vector<std::string> arguments(argv + 1, argv + argc);
        auto environmentPointers = pointersTo(environment);
        auto argumentPointers = pointersTo(arguments);
        // The command must not outlive us when a test runner kills us at its time limit.
        const pid_t self = getpid();
        const pid_t child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != self) _exit(127);
            execvpe(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
            std::perror(argumentPointers[0]);
            _exit(127);
        }
        if (child < 0) {
            std::perror("fork");
            return 2;
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "with-test-desktop: %s\n", error.what());
        return 2;
    }
}
