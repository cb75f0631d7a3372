#pragma once

#include "recorder/platform/platform.hpp"

namespace recorder::linux_backend {

// The recorder's services on X11, PulseAudio and FFmpeg.
platform::Platform makeLinuxPlatform();

}  // namespace recorder::linux_backend
