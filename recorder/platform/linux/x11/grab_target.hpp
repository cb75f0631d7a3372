#pragma once

#include <cstdint>
#include <unordered_set>

#include "common/error.hpp"
#include "recorder/platform/linux/x11/pixel_region.hpp"
#include "recorder/platform/shareable_content.hpp"

namespace recorder::linux_backend::x11 {

// What a capture stream grabs: one display's rectangle of the root, and whose windows to hide.
struct GrabTarget {
    uint32_t displayID = 0;
    PixelRect rect;
    std::unordered_set<int32_t> excludedPids;
};

// The filter's display in whole root pixels, limited to the screen (the server refuses to read
// outside it). Fails when nothing of the display is on the screen.
common::Result<GrabTarget> grabTargetFor(const platform::ContentFilter& filter, int screenWidth, int screenHeight);

// The frame deadline that follows `deadline` when the frame due then started at `now`: one
// interval on. A grab that fell behind skips the missed ticks instead of catching up in a burst.
int64_t nextFrameDeadline(int64_t deadline, int64_t now, int64_t interval);

}  // namespace recorder::linux_backend::x11
