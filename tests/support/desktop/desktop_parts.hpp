#pragma once

#include "tests/support/desktop/test_desktop.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace testsupport {

// A new private directory under the system's temporary directory, named `prefix` plus a unique suffix.
inline std::string makeTemporaryDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory " + pattern + ": " + std::strerror(errno));
    return pattern;
}

// `what` failed, with what the part that failed said on its standard error.
inline std::string describeFailure(const std::string& what, const ChildProcess& process) {
    std::string text = what;
    std::string errors = process.stderrSoFar();
    if (!errors.empty()) text += "; its standard error: " + errors;
    return text;
}

}  // namespace testsupport
