#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/linux/x11/pixel_region.hpp"
#include "recorder/platform/linux/x11/x11_connection.hpp"

namespace recorder::linux_backend::x11 {

// Follows what the server redraws anywhere on the screen (DAMAGE on the root, which sees the
// drawing of every window), so a frame of an unchanged picture need not be copied or converted.
// The server notifies only when the damage goes from empty to non-empty; the region itself is
// read back (one round trip) only after such a notification.
class DamageTracker {
public:
    // Without the DAMAGE extension every frame counts as changed.
    static common::Result<std::unique_ptr<DamageTracker>> create(const X11Connection& connection);
    ~DamageTracker();
    DamageTracker(const DamageTracker&) = delete;
    DamageTracker& operator=(const DamageTracker&) = delete;

    // True when `event` was a notification of this tracker's damage (it has then been taken into account).
    bool handleEvent(const xcb_generic_event_t& event);

    // Whether anything inside `rect` was redrawn since the previous call; clears what it read.
    bool takeChangesWithin(const PixelRect& rect);

    // The rectangles redrawn since the previous call (root coordinates, disjoint); clears them.
    // None when unknown (no DAMAGE, or the region could not be read): then everything counts as
    // changed.
    std::optional<std::vector<PixelRect>> takeDamage();

private:
    explicit DamageTracker(const X11Connection& connection) : connection_(connection) {}

    const X11Connection& connection_;
    uint32_t damage_ = 0;
    uint32_t region_ = 0;
    bool notified_ = false;
};

}  // namespace recorder::linux_backend::x11
