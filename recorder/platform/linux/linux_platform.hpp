#pragma once

#include "recorder/platform/linux/wayland/wayland_request.hpp"
#include "recorder/platform/platform.hpp"

namespace recorder::linux_backend {

// The recorder's services on X11, PulseAudio and FFmpeg.
platform::Platform makeLinuxPlatform();

// The same on a Wayland desktop: the screen through the desktop portal and PipeWire, for the
// source `request` describes; `notice` receives the lines that tell the user what the desktop
// cannot do as asked.
platform::Platform makeWaylandPlatform(const wayland::WaylandRequest& request, wayland::NoticeSink notice);

// For `--list-sources` on Wayland, which must not ask the desktop anything: asking the portal for a
// session would open its dialog for nothing.
std::shared_ptr<platform::PermissionService> makeWaylandListingPermissionService();

}  // namespace recorder::linux_backend
