#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/rect.hpp"

namespace recorder::platform {

// Geometry is global display space in points: origin at the top left of the main display, y down.
struct Display {
    uint32_t displayID = 0;
    common::Rect frame;
    std::string name = {};  // what the desktop calls it (e.g. the output's name); may be empty
};

struct Window {
    uint32_t windowID = 0;
    common::Rect frame;
    std::optional<int32_t> owningProcessID;
    std::string title = {};            // may be empty
    std::string applicationName = {};  // may be empty
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

// How the source of a recording is chosen on a desktop: from the lists above, or by the desktop's
// own dialog when the capture starts (the lists then name nothing that could be recorded).
enum class SourceSelection { list, desktopDialog };

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
