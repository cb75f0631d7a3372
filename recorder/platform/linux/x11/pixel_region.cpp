#include "recorder/platform/linux/x11/pixel_region.hpp"

#include <algorithm>

namespace recorder::linux_backend::x11 {

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const int right = std::min(a.right(), b.right());
    const int bottom = std::min(a.bottom(), b.bottom());
    if (right <= left || bottom <= top) return PixelRect{};
    return PixelRect{left, top, right - left, bottom - top};
}

bool overlaps(const PixelRect& a, const PixelRect& b) { return !intersect(a, b).isEmpty(); }

std::vector<PixelRect> subtract(const std::vector<PixelRect>& area, const PixelRect& hole) {
    std::vector<PixelRect> remaining;
    remaining.reserve(area.size() + 3);
    for (const PixelRect& piece : area) {
        if (piece.isEmpty()) continue;
        const PixelRect cut = intersect(piece, hole);
        if (cut.isEmpty()) {
            remaining.push_back(piece);
            continue;
        }
        // Full-width bands above and below the hole, then the parts left and right of it.
        if (cut.y > piece.y) remaining.push_back({piece.x, piece.y, piece.width, cut.y - piece.y});
        if (cut.bottom() < piece.bottom()) {
            remaining.push_back({piece.x, cut.bottom(), piece.width, piece.bottom() - cut.bottom()});
        }
        if (cut.x > piece.x) remaining.push_back({piece.x, cut.y, cut.x - piece.x, cut.height});
        if (cut.right() < piece.right()) remaining.push_back({cut.right(), cut.y, piece.right() - cut.right(), cut.height});
    }
    return remaining;
}

}  // namespace recorder::linux_backend::x11
