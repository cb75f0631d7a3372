#include "recorder/platform/linux/x11/damage_tracker.hpp"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

namespace recorder::linux_backend::x11 {

common::Result<std::unique_ptr<DamageTracker>> DamageTracker::create(const X11Connection& connection) {
    std::unique_ptr<DamageTracker> tracker(new DamageTracker(connection));
    if (!connection.extensions().damage) return tracker;
    xcb_connection_t* c = connection.get();
    tracker->region_ = xcb_generate_id(c);
    xcb_xfixes_create_region(c, tracker->region_, 0, nullptr);
    tracker->damage_ = xcb_generate_id(c);
    XcbErrorPtr error(xcb_request_check(
        c, xcb_damage_create_checked(c, tracker->damage_, connection.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY)));
    if (connection.isBroken()) return connection.lostError();
    if (error) tracker->damage_ = 0;  // fall back to treating every frame as changed
    return tracker;
}

DamageTracker::~DamageTracker() {
    if (connection_.isBroken()) return;
    if (damage_ != 0) xcb_damage_destroy(connection_.get(), damage_);
    if (region_ != 0) xcb_xfixes_destroy_region(connection_.get(), region_);
    xcb_flush(connection_.get());
}

bool DamageTracker::handleEvent(const xcb_generic_event_t& event) {
    if (damage_ == 0) return false;
    const uint8_t type = event.response_type & 0x7f;
    if (type != connection_.extensions().damageFirstEvent + XCB_DAMAGE_NOTIFY) return false;
    // Other damage objects on this connection (single windows) report through the same event.
    if (reinterpret_cast<const xcb_damage_notify_event_t&>(event).damage != damage_) return false;
    notified_ = true;
    return true;
}

bool DamageTracker::takeChangesWithin(const PixelRect& rect) {
    if (damage_ == 0) return true;
    if (!notified_) return false;
    notified_ = false;
    xcb_connection_t* c = connection_.get();
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    // A capture of the whole screen needs no rectangles: any damage is inside it.
    const PixelRect screen{0, 0, connection_.screenWidth(), connection_.screenHeight()};
    if (intersect(rect, screen) == screen) {
        xcb_flush(c);
        return true;
    }
    auto reply = takeReply<xcb_xfixes_fetch_region_reply_t>(c, xcb_xfixes_fetch_region(c, region_),
                                                            xcb_xfixes_fetch_region_reply);
    if (!reply) return true;  // unknown: better a copy too many than a frame missed
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(reply.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
    for (int i = 0; i < count; ++i) {
        const PixelRect damaged{rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height};
        if (overlaps(damaged, rect)) return true;
    }
    return false;
}

std::optional<std::vector<PixelRect>> DamageTracker::takeDamage() {
    if (damage_ == 0) return std::nullopt;
    if (!notified_) return std::vector<PixelRect>{};
    notified_ = false;
    xcb_connection_t* c = connection_.get();
    // Subtracted before the caller grabs: whatever is drawn after this is reported next time.
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    auto reply = takeReply<xcb_xfixes_fetch_region_reply_t>(c, xcb_xfixes_fetch_region(c, region_),
                                                            xcb_xfixes_fetch_region_reply);
    if (!reply) return std::nullopt;
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(reply.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
    std::vector<PixelRect> damaged;
    damaged.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        damaged.push_back({rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
    }
    return damaged;
}

}  // namespace recorder::linux_backend::x11
