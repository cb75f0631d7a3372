#include "recorder/platform/linux/backend_choice.hpp"

#include <string>

namespace recorder::linux_backend {
namespace {

std::string lowerCase(const char* text) {
    std::string result = text ? text : "";
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

}  // namespace

CaptureBackend chooseCaptureBackend(const std::function<const char*(const char*)>& environment) {
    const std::string chosen = lowerCase(environment(kBackendVariable));
    if (chosen == "x11") return CaptureBackend::x11;
    if (chosen == "wayland") return CaptureBackend::wayland;
    const char* display = environment("WAYLAND_DISPLAY");
    if (display && *display) return CaptureBackend::wayland;
    return lowerCase(environment("XDG_SESSION_TYPE")) == "wayland" ? CaptureBackend::wayland : CaptureBackend::x11;
}

}  // namespace recorder::linux_backend
