#include "tests/support/desktop/test_programs.hpp"

#include <map>
#include <stdexcept>

namespace testsupport {

std::string testProgramPath(const std::string& name) {
    // The paths are filled in by the build (tests/support/CMakeLists.txt).
    static const std::map<std::string, std::string> paths{
        {"test-window", TEST_PROGRAM_TEST_WINDOW},
        {"moving-picture", TEST_PROGRAM_MOVING_PICTURE},
        {"wayland-animator", TEST_PROGRAM_WAYLAND_ANIMATOR},
        {"recorder-agent", TEST_PROGRAM_RECORDER_AGENT},
        {"pointer-agent", TEST_PROGRAM_POINTER_AGENT},
    };
    auto it = paths.find(name);
    if (it == paths.end()) throw std::invalid_argument("no test program is called " + name);
    return it->second;
}

}  // namespace testsupport
