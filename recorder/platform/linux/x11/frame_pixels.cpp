#include "recorder/platform/linux/x11/frame_pixels.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>


namespace recorder::linux_backend::x11 {

void fillRect(uint8_t* image, int stride, int imageWidth, int imageHeight, const PixelRect& rect, uint32_t bgraPixel) {
    const PixelRect clipped = intersect(rect, PixelRect{0, 0, imageWidth, imageHeight});
    if (clipped.isEmpty()) return;
    for (int row = clipped.y; row < clipped.bottom(); ++row) {
        uint8_t* line = image + static_cast<std::ptrdiff_t>(row) * stride + static_cast<std::ptrdiff_t>(clipped.x) * 4;
        for (int column = 0; column < clipped.width; ++column) std::memcpy(line + column * 4, &bgraPixel, 4);
    }
}

}  // namespace recorder::linux_backend::x11
