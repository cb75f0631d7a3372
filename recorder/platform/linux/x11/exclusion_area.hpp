#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "recorder/platform/linux/x11/pixel_region.hpp"

namespace recorder::linux_backend::x11 {

// A viewable child of the root: a window manager's frame, an unmanaged window or a popup, with
// the process that owns what it shows.
struct TopLevelFacts {
    uint32_t id = 0;
    PixelRect rect;  // outer edges, border included
    std::optional<int32_t> pid;
    int border = 0;  // drawing inside the window is reported relative to its inner corner
};

// The parts of the screen where windows of `excludedPids` show: each excluded top-level minus
// what other top-levels above it cover. Disjoint rectangles.
std::vector<PixelRect> excludedArea(const std::vector<TopLevelFacts>& bottomToTop,
                                    const std::unordered_set<int32_t>& excludedPids);

}  // namespace recorder::linux_backend::x11
