#pragma once

#include "recorder/platform/image_context.hpp"

namespace recorder::linux_backend {

// A rectangle of whole pixels, first row at the top (the layout of our buffers).
struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    int right() const { return left + width; }
    int bottom() const { return top + height; }
    bool empty() const { return width <= 0 || height <= 0; }
    bool operator==(const PixelRect&) const = default;
};

// The crop (bottom-left origin, fractional) as whole source pixels with the first row at the
// top. Each edge is rounded to the nearest pixel edge: crops come from window frames, which are
// whole pixels, divided by and multiplied with the display size, so their edges sit within
// rounding error of a pixel edge and rounding gives back the exact window. A crop narrower than
// a pixel keeps the pixel under its middle. A crop without area (or not finite) gives an empty rectangle. The
// result may reach past the image.
PixelRect cropToSourcePixels(const platform::ImageRect& crop, int sourceHeight);

// Where the part of `crop` that lies inside the source lands in the destination, when the whole
// of `crop` is stretched over the whole destination.
struct CropPlacement {
    PixelRect source;       // inside the source image; empty when the crop misses it entirely
    PixelRect destination;  // inside the destination; everything else there is transparent black
};

CropPlacement placeCrop(const PixelRect& crop, int sourceWidth, int sourceHeight, int destinationWidth,
                        int destinationHeight);

}  // namespace recorder::linux_backend
