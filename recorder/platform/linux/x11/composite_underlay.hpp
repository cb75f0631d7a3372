#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "recorder/platform/linux/x11/exclusion_area.hpp"
#include "recorder/platform/linux/x11/shm_image.hpp"
#include "recorder/platform/linux/x11/x11_connection.hpp"

namespace recorder::linux_backend::x11 {

// Shows what lies beneath an excluded window instead of a flat fill. With every top-level
// redirected (automatically: the server still paints the screen itself, and compositing managers
// keep working), each window's full content exists as a pixmap even where another window covers
// it. The windows below an excluded piece are copied into the frame from those pixmaps, bottom
// first. The desktop background itself has no pixmap: there the neutral fill stays.
//
// A pixmap the server creates (at the redirection, when a window is mapped or resized) starts as a
// copy of the screen, so where an excluded window lay over it, it holds the excluded window's
// pixels until the window's program repaints there, which a busy program may not do for a long
// time. Those stale parts are shown as the neutral fill and followed with DAMAGE on the window
// until its program has drawn over them.
class CompositeUnderlay {
public:
    // None when the server lacks Composite 0.2 or refuses the redirection. Call with the server
    // grabbed and refresh before releasing it, so no window repaints before it is followed.
    static std::unique_ptr<CompositeUnderlay> create(const X11Connection& connection);
    ~CompositeUnderlay();
    CompositeUnderlay(const CompositeUnderlay&) = delete;
    CompositeUnderlay& operator=(const CompositeUnderlay&) = delete;

    // Takes the current top-levels (bottom to top): names pixmaps of new or resized windows and
    // frees those of windows gone.
    void refresh(const std::vector<TopLevelFacts>& bottomToTop, const std::unordered_set<int32_t>& excludedPids);

    // Paints `area` (root coordinates, pieces of excluded windows) of `frame`, whose top left is
    // `frameRect`'s: neutral fill, then every other window beneath. False when the connection broke.
    bool paint(uint8_t* frame, const PixelRect& frameRect, const std::vector<PixelRect>& area);

    // True when `event` reported a repaint of a followed window (it has then been taken into account).
    bool handleEvent(const xcb_generic_event_t& event);

private:
    struct Shown {
        uint32_t window = 0;
        PixelRect rect;
        int border = 0;
        uint32_t pixmap = 0;
        std::vector<PixelRect> stale;  // relative to the pixmap's top left: not repainted yet
        uint32_t damage = 0;           // follows the window's repaints while anything is stale
        uint16_t damageCreatedAt = 0;  // sequence number of its creation, which reports the whole window
    };

    CompositeUnderlay(const X11Connection& connection, std::unique_ptr<ShmImage> scratch)
        : connection_(connection), scratch_(std::move(scratch)) {}
    void release(const Shown& window);
    // Marks what the excluded windows above covered of a window's new pixmap as stale.
    void markStale(Shown& window, const std::vector<PixelRect>& excludedAbove);

    const X11Connection& connection_;
    std::unique_ptr<ShmImage> scratch_;
    std::vector<Shown> shown_;  // windows not excluded, bottom to top, each with its pixmap
};

}  // namespace recorder::linux_backend::x11
