#pragma once

#include "pointer/platform/pointer_platform.hpp"

namespace pointer::platform::linux_x11 {

// The services of the X display named by DISPLAY. Whatever the display cannot give (or all of it,
// without a display) is replaced by a service that answers "absent", so the monitor still runs.
PointerPlatform openLinuxPlatform();

}  // namespace pointer::platform::linux_x11
