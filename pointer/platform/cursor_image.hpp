#pragma once

#include <cstdint>
#include <vector>

#include "common/rect.hpp"

namespace pointer::platform {

// A cursor picture as the platform hands it out. Size and hot spot are in points, the unit the
// cursor is placed in; the pixels may be finer than that (HiDPI cursors).
struct CursorImage {
    double width = 0;
    double height = 0;
    common::Point hotSpot;
    int pixelWidth = 0;
    int pixelHeight = 0;
    std::vector<uint32_t> pixels;  // premultiplied ARGB, one word per pixel, top row first
};

// The cursor the system is showing. The serial changes whenever a different cursor is shown, so a
// reader can tell "same cursor as before" without comparing pictures.
struct ShownCursor {
    uint64_t serial = 0;
    CursorImage image;
};

// The platform's standard cursor shapes, named after what they mean rather than after any theme.
enum class StandardCursor {
    arrow,
    iBeam,
    pointingHand,
    dragCopy,
    dragLink,
    contextualMenu,
    crosshair,
    openHand,
    closedHand,
    resizeLeft,
    resizeRight,
    resizeLeftRight,
    resizeUp,
    resizeDown,
    resizeUpDown,
    operationNotAllowed,
    iBeamForVerticalLayout,
};

}  // namespace pointer::platform
