#include "pointer_fakes.hpp"

#include <algorithm>

namespace pointer::testing {

platform::CursorImage solidImage(int width, int height, common::Point hotSpot) {
    platform::CursorImage image;
    image.width = width;
    image.height = height;
    image.hotSpot = hotSpot;
    image.pixelWidth = width;
    image.pixelHeight = height;
    image.pixels.assign(size_t(std::max(width, 0)) * size_t(std::max(height, 0)), 0xFF000000u);
    return image;
}

}  // namespace pointer::testing
