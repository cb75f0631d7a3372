#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "recorder/platform/linux/x11/x11_connection.hpp"
#include "recorder/platform/shareable_content.hpp"

namespace recorder::linux_backend::x11 {

// One RandR monitor: a rectangle of the root window shown as one display.
struct Monitor {
    uint32_t id = 0;  // the monitor's name atom: stable while the server runs
    common::Rect frame;
    bool primary = false;
};

// The identifier of the whole screen when the server defines no monitors (no RandR 1.5).
inline constexpr uint32_t kWholeScreenDisplayID = 1;

// The active monitors, asked afresh: monitors set with `xrandr --setmonitor` send no event.
std::vector<Monitor> queryMonitors(const X11Connection& connection);

// The primary monitor, else the first; none when there is no monitor at all.
std::optional<uint32_t> mainMonitorID(const std::vector<Monitor>& monitors);

const Monitor* findMonitor(const std::vector<Monitor>& monitors, uint32_t id);

// The monitors as displays, named after their name atoms (one round trip for all names).
std::vector<platform::Display> displaysOf(const X11Connection& connection, const std::vector<Monitor>& monitors);

}  // namespace recorder::linux_backend::x11
