#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/rect.hpp"

namespace recorder::platform {

// Geometry is global display space in points: origin at the top left of the main display, y down.
struct Display {
    uint32_t displayID = 0;
    common::Rect frame;
};

struct Window {
    uint32_t windowID = 0;
    common::Rect frame;
    std::optional<int32_t> owningProcessID;
};

struct Application {
    int32_t processID = 0;
};

// What can be captured right now, each list in a stable order.
struct ShareableContent {
    std::vector<Display> displays;
    std::vector<Window> windows;
    std::vector<Application> applications;
};

// The whole of one display, minus the windows of the excluded applications.
struct ContentFilter {
    Display display;
    std::vector<Application> excludedApplications;
    std::vector<Window> exceptingWindows;
};

// The current mode of a display: its width in pixels and in points.
struct DisplayMode {
    int64_t pixelWidth = 0;
    int64_t width = 0;
};

}  // namespace recorder::platform
