#pragma once

#include <string>

namespace testsupport {

// The built path of one of this project's programs: "test-window", "moving-picture", "wayland-animator",
// "recorder-agent" or "pointer-agent". Throws std::invalid_argument for any other name.
std::string testProgramPath(const std::string& name);

}  // namespace testsupport
