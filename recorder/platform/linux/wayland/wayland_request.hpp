#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/rect.hpp"

namespace recorder::linux_backend::wayland {

inline constexpr const char* kErrorDomain = "WaylandCapture";

// What the recording asks of the desktop.
struct ScreenCastPlan {
    uint32_t sourceType = 1;  // portal::kSourceMonitor or portal::kSourceWindow
    std::optional<std::string> restoreTokenPath;
    bool excludesApplications = false;
};

// One line for the user on standard error.
using NoticeSink = std::function<void(const std::string&)>;

// What of the recording request matters to a Wayland desktop, which names no displays or windows
// to its clients: the desktop's own dialog picks the source.
struct WaylandRequest {
    std::optional<uint32_t> displayId;
    std::optional<uint32_t> windowId;
    // The region, when all four values are present and it has an area, in the source's pixels.
    std::optional<common::Rect> region;
    std::optional<std::string> restoreTokenPath;
    bool excludesApplications = false;
};

// A window is asked for when the request names one without a region; a region crops a monitor.
ScreenCastPlan screenCastPlanFor(const WaylandRequest& request);

// The one display the desktop granted keeps the identifier the request used, so the request
// resolves as it would on a desktop that lists its displays.
inline constexpr uint32_t kGrantedDisplayID = 1;

}  // namespace recorder::linux_backend::wayland
