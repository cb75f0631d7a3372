#pragma once

#include <vector>

namespace recorder::linux_backend::x11 {

// A rectangle of whole pixels in root coordinates.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    int right() const { return x + width; }
    int bottom() const { return y + height; }
    bool isEmpty() const { return width <= 0 || height <= 0; }
    bool operator==(const PixelRect&) const = default;
};

// The common part; an empty rectangle when there is none.
PixelRect intersect(const PixelRect& a, const PixelRect& b);

bool overlaps(const PixelRect& a, const PixelRect& b);

// `area` (disjoint rectangles) without `hole`, again as disjoint rectangles.
std::vector<PixelRect> subtract(const std::vector<PixelRect>& area, const PixelRect& hole);

}  // namespace recorder::linux_backend::x11
