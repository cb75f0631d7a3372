#pragma once

#include <memory>

#include "recorder/platform/linux/wayland/screen_cast.hpp"
#include "recorder/platform/system_services.hpp"

namespace recorder::linux_backend {

std::shared_ptr<platform::PermissionService> makeLinuxPermissionService();
// On Wayland the desktop's consent to the screen cast is the permission to record the screen.
std::shared_ptr<platform::PermissionService> makeWaylandPermissionService(std::shared_ptr<wayland::ScreenCast> cast);
std::shared_ptr<platform::CaptureDeviceService> makeLinuxCaptureDeviceService();

}  // namespace recorder::linux_backend
