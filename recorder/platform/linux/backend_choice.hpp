#pragma once

#include <functional>

namespace recorder::linux_backend {

enum class CaptureBackend { x11, wayland };

// The variable that overrides the choice: "x11" or "wayland"; any other value (or none) chooses
// by the session.
inline constexpr const char* kBackendVariable = "RECORDER_AGENT_BACKEND";

// Wayland in a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland"), X11
// otherwise; `environment` reads a variable and gives null when it is unset.
CaptureBackend chooseCaptureBackend(const std::function<const char*(const char*)>& environment);

}  // namespace recorder::linux_backend
