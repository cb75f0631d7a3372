#include "recorder/platform/linux/x11/damage_region.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace recorder::linux_backend::x11 {
namespace {

// Past this many rectangles (a page of redrawn text) they are not worth sorting out one by one.
constexpr size_t kMostRectanglesMerged = 64;

int64_t area(const PixelRect& r) { return static_cast<int64_t>(r.width) * r.height; }

PixelRect bounds(const PixelRect& a, const PixelRect& b) {
    const int left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    return PixelRect{left, top, std::max(a.right(), b.right()) - left, std::max(a.bottom(), b.bottom()) - top};
}

// Outward to even corners and sizes, then back inside the capture.
PixelRect alignedToChroma(const PixelRect& r, int width, int height) {
    const int left = r.x & ~1, top = r.y & ~1;
    const int right = std::min(r.right() + (r.right() & 1), width);
    const int bottom = std::min(r.bottom() + (r.bottom() & 1), height);
    return PixelRect{left, top, right - left, bottom - top};
}

}  // namespace

std::vector<PixelRect> blocksToRefresh(const std::vector<PixelRect>& damaged, const PixelRect& capture,
                                       size_t maxBlocks) {
    std::vector<PixelRect> blocks;
    for (const PixelRect& rect : damaged) {
        const PixelRect inside = intersect(rect, capture);
        if (inside.isEmpty()) continue;
        blocks.push_back(alignedToChroma({inside.x - capture.x, inside.y - capture.y, inside.width, inside.height},
                                         capture.width, capture.height));
    }
    if (blocks.empty()) return blocks;
    if (blocks.size() > kMostRectanglesMerged) {
        PixelRect all = blocks.front();
        for (const PixelRect& block : blocks) all = bounds(all, block);
        blocks = {all};
    }
    // Merges the pair whose common bounds add the least area, until few enough remain.
    while (blocks.size() > std::max<size_t>(maxBlocks, 1)) {
        size_t first = 0, second = 1;
        int64_t leastWaste = std::numeric_limits<int64_t>::max();
        for (size_t i = 0; i < blocks.size(); ++i) {
            for (size_t j = i + 1; j < blocks.size(); ++j) {
                const int64_t waste = area(bounds(blocks[i], blocks[j])) - area(blocks[i]) - area(blocks[j]);
                if (waste < leastWaste) leastWaste = waste, first = i, second = j;
            }
        }
        blocks[first] = bounds(blocks[first], blocks[second]);
        blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(second));
    }
    int64_t total = 0;
    for (const PixelRect& block : blocks) total += area(block);
    if (2 * total >= area(capture)) return {wholeCapture(capture)};
    return blocks;
}

}  // namespace recorder::linux_backend::x11
