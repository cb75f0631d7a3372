#include "recorder/platform/linux/pixels/crop_scale_image_context.hpp"

namespace recorder::linux_backend {

std::shared_ptr<platform::ImageContext> makeCropScaleImageContext() { return nullptr; }

}  // namespace recorder::linux_backend
