#pragma once

#include <memory>

#include "recorder/platform/image_context.hpp"

namespace recorder::linux_backend {

// BGRA crop-and-stretch for window and region captures.
std::shared_ptr<platform::ImageContext> makeCropScaleImageContext();

}  // namespace recorder::linux_backend
