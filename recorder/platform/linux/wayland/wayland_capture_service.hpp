#pragma once

#include <memory>

#include "recorder/platform/capture_service.hpp"
#include "recorder/platform/linux/wayland/screen_cast.hpp"
#include "recorder/platform/linux/wayland/wayland_request.hpp"

namespace recorder::linux_backend::wayland {

// Displays and windows as a Wayland desktop grants them: the granted source is the one display,
// its size the stream's; the requested window is listed while its source lives (a window source
// that ends is a window that closed), at the request's region when it has one.
std::shared_ptr<platform::CaptureService> makeWaylandCaptureService(std::shared_ptr<ScreenCast> cast,
                                                                    const WaylandRequest& request);

}  // namespace recorder::linux_backend::wayland
