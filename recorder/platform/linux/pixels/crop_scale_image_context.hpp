#pragma once

#include <memory>

#include "recorder/platform/image_context.hpp"

namespace recorder::linux_backend {

// BGRA crop-and-stretch for window and region captures, with libyuv's scalers. Crop edges are
// rounded to whole source pixels (see cropToSourcePixels); the part of the crop outside the
// source becomes transparent black. A crop of exactly the destination size is a plain copy.
// Keeps no state between frames.
std::shared_ptr<platform::ImageContext> makeCropScaleImageContext();

}  // namespace recorder::linux_backend
