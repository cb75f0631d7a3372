#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/rect.hpp"
#include "pointer/platform/cursor_image.hpp"

namespace pointer::platform {

// The pointer on screen: which cursor it shows and where it is.
class ScreenPointer {
public:
    virtual ~ScreenPointer() = default;
    // None when no cursor picture can be had (no display, or the display cannot tell).
    virtual std::optional<ShownCursor> currentCursor() = 0;
    // The pointer's position in global display coordinates (top-left origin, y down).
    virtual std::optional<common::Point> location() = 0;
};

// The cursor theme in use.
class StandardCursorLibrary {
public:
    virtual ~StandardCursorLibrary() = default;
    // None when the theme has no picture for this shape.
    virtual std::optional<CursorImage> cursor(StandardCursor which) const = 0;
};

// Drawing and encoding cursor pictures.
class ImageRenderer {
public:
    virtual ~ImageRenderer() = default;
    // Draws the whole image into `destination` (in pixels of a side x side bitmap that starts fully
    // transparent) with the copy operator and the best interpolation, and returns the bitmap's alpha
    // values, side x side bytes, top row first. None when the bitmap cannot be made.
    virtual std::optional<std::vector<uint8_t>> renderAlpha(const CursorImage& image, int side,
                                                            const common::Rect& destination) const = 0;
    // The image at its own pixel size as a PNG file. None when it cannot be encoded.
    virtual std::optional<std::vector<uint8_t>> encodePng(const CursorImage& image) const = 0;
};

}  // namespace pointer::platform
