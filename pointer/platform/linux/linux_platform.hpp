#pragma once

#include <functional>
#include <optional>
#include <string>

#include "pointer/platform/pointer_platform.hpp"

namespace pointer::platform::linux_x11 {

struct LinuxPlatformOptions {
    // The file that keeps the desktop's permission for the cursor screen cast (Wayland only).
    std::optional<std::string> restoreTokenPath;
    // False when only the cursor theme is needed (the export): a Wayland desktop is then not asked.
    bool watchPointer = true;
    // Lines for standard error about what the session cannot give.
    std::function<void(const std::string&)> notice;
};

// The services of the session: Wayland services in a Wayland session (or when the backend variable
// says so), those of the X display named by DISPLAY otherwise. Whatever the session cannot give
// (or all of it, without a display) is replaced by a service that answers "absent", so the monitor
// still runs.
PointerPlatform openLinuxPlatform(const LinuxPlatformOptions& options);

}  // namespace pointer::platform::linux_x11
