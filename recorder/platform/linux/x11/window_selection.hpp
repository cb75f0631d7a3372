#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/rect.hpp"
#include "recorder/platform/shareable_content.hpp"

namespace recorder::linux_backend::x11 {

// What the server says about one client window, before any choice is made.
struct ClientWindowFacts {
    uint32_t id = 0;
    common::Rect frame;  // the client area in root coordinates, without decorations
    bool viewable = false;  // mapped, and every ancestor mapped
    bool hidden = false;    // _NET_WM_STATE_HIDDEN (minimised, or on another desktop)
    bool desktop = false;   // _NET_WM_WINDOW_TYPE_DESKTOP
    std::optional<int32_t> pid;
    std::string title;            // _NET_WM_NAME, else WM_NAME
    std::string applicationName;  // the class part of WM_CLASS
};

struct WindowSelection {
    std::vector<platform::Window> windows;  // topmost first
    // Distinct process ids: the owners of `windows` in window order, then every other process
    // connected to the server, by process id.
    std::vector<platform::Application> applications;
};

// The shareable windows and their applications, from client windows listed bottom to top and the
// process ids of every client of the server (any order, repeats allowed). A process without a
// window yet is an application all the same: an application excluded at the start must stay
// excluded when it opens its first window later. "On screen" means viewable and not hidden.
WindowSelection selectShareableWindows(const std::vector<ClientWindowFacts>& bottomToTop,
                                       const std::vector<int32_t>& clientProcesses, bool excludingDesktopWindows,
                                       bool onScreenWindowsOnly);

}  // namespace recorder::linux_backend::x11
