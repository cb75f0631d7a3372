#pragma once

#include "recorder/platform/pixel_buffer.hpp"

namespace recorder::platform {

// A rectangle in image pixels with the origin at the BOTTOM left corner of the image, y growing
// upwards: the convention the crop arithmetic is written in. Not rounded, not clamped.
struct ImageRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Renders a part of one image, stretched, into another.
class ImageContext {
public:
    virtual ~ImageContext() = default;
    // Cuts `crop` out of `source` and scales it to fill all of `destination` (independent factors
    // per axis). Parts of the crop outside the source read as transparent black; nothing outside
    // either buffer is touched. Both buffers are 'BGRA'.
    virtual void renderCrop(const PixelBuffer& source, const ImageRect& crop, PixelBuffer& destination) = 0;
};

}  // namespace recorder::platform
