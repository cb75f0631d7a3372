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
class CompositeUnderlay {
public:
    // None when the server lacks Composite 0.2 or refuses the redirection.
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

private:
    struct Shown {
        uint32_t window = 0;
        PixelRect rect;
        uint32_t pixmap = 0;
    };

    CompositeUnderlay(const X11Connection& connection, std::unique_ptr<ShmImage> scratch)
        : connection_(connection), scratch_(std::move(scratch)) {}
    void release(uint32_t pixmap);

    const X11Connection& connection_;
    std::unique_ptr<ShmImage> scratch_;
    std::vector<Shown> shown_;  // windows not excluded, bottom to top, each with its pixmap
};

}  // namespace recorder::linux_backend::x11
