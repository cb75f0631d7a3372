#pragma once

#include <cstdint>

#include "recorder/platform/linux/pixels/opaque_copy.hpp"
#include "recorder/platform/linux/x11/pixel_region.hpp"

namespace recorder::linux_backend::x11 {

// Paints `rect` (clipped to the image) with one BGRA pixel value.
void fillRect(uint8_t* image, int stride, int imageWidth, int imageHeight, const PixelRect& rect, uint32_t bgraPixel);

// Opaque mid grey, the fill of an excluded window when nothing better can be shown.
inline constexpr uint32_t kNeutralFillPixel = 0xFF808080u;

}  // namespace recorder::linux_backend::x11
