#include "recorder/platform/linux/pixels/nv12_block.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"

namespace recorder::linux_backend {
namespace {

// The block inside the image; an odd corner would split chroma blocks, so it never is.
Nv12Block clipped(const Nv12Block& block, const Nv12Image& image) {
    const int left = std::max(block.x, 0), top = std::max(block.y, 0);
    const int right = std::min(block.x + block.width, image.width);
    const int bottom = std::min(block.y + block.height, image.height);
    if (right <= left || bottom <= top || (left | top) & 1) return {};
    return {left, top, right - left, bottom - top};
}

}  // namespace

void convertBGRAToNV12BT709Block(const uint8_t* bgra, int bgraStride, const Nv12Block& block, const Nv12Image& image) {
    const Nv12Block inside = clipped(block, image);
    if (inside.width <= 0) return;
    const uint8_t* first = bgra + static_cast<ptrdiff_t>(inside.y - block.y) * bgraStride +
                           static_cast<ptrdiff_t>(inside.x - block.x) * 4;
    // A chroma pair (U, V) covers two pixels, so an even x is also the byte offset in its row.
    convertBGRAToNV12BT709(first, bgraStride, inside.width, inside.height,
                           image.y + static_cast<ptrdiff_t>(inside.y) * image.yStride + inside.x, image.yStride,
                           image.uv + static_cast<ptrdiff_t>(inside.y / 2) * image.uvStride + inside.x, image.uvStride);
}

void copyNV12Block(const Nv12Image& from, const Nv12Image& to, const Nv12Block& block) {
    const Nv12Block inside = clipped(block, to);
    if (inside.width <= 0) return;
    for (int row = inside.y; row < inside.y + inside.height; ++row) {
        std::memcpy(to.y + static_cast<ptrdiff_t>(row) * to.yStride + inside.x,
                    from.y + static_cast<ptrdiff_t>(row) * from.yStride + inside.x, static_cast<size_t>(inside.width));
    }
    // Chroma rows and bytes of the 2x2 blocks the block covers, a half block at an odd edge included.
    const size_t chromaBytes = static_cast<size_t>((inside.width + 1) / 2) * 2;
    for (int row = inside.y / 2; row < (inside.y + inside.height + 1) / 2; ++row) {
        std::memcpy(to.uv + static_cast<ptrdiff_t>(row) * to.uvStride + inside.x,
                    from.uv + static_cast<ptrdiff_t>(row) * from.uvStride + inside.x, chromaBytes);
    }
}

}  // namespace recorder::linux_backend
