#pragma once

#include <memory>

#include "recorder/platform/system_services.hpp"

namespace recorder::linux_backend {

std::shared_ptr<platform::PermissionService> makeLinuxPermissionService();
std::shared_ptr<platform::CaptureDeviceService> makeLinuxCaptureDeviceService();

}  // namespace recorder::linux_backend
