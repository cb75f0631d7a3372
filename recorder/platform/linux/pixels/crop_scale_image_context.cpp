#include "recorder/platform/linux/pixels/crop_scale_image_context.hpp"

#include <libyuv/planar_functions.h>

#include <cstring>

#include "recorder/platform/linux/pixels/bgra_bilinear_scaler.hpp"
#include "recorder/platform/linux/pixels/crop_geometry.hpp"

namespace recorder::linux_backend {
namespace {

constexpr int kBytesPerPixel = 4;

struct BgraImage {
    uint8_t* data;
    int stride;
    int width;
    int height;

    uint8_t* at(int x, int y) const {
        return data + static_cast<long>(y) * stride + static_cast<long>(x) * kBytesPerPixel;
    }
};

BgraImage viewOf(const platform::PixelBuffer& buffer) {
    const auto& plane = buffer.plane(0);
    return {plane.data, plane.stride, buffer.width(), buffer.height()};
}

void clearSpan(const BgraImage& image, int left, int right, int row) {
    if (right > left) std::memset(image.at(left, row), 0, static_cast<size_t>(right - left) * kBytesPerPixel);
}

// Transparent black everywhere in `image` except inside `keep`.
void clearAround(const BgraImage& image, const PixelRect& keep) {
    for (int row = 0; row < image.height; ++row) {
        if (keep.empty() || row < keep.top || row >= keep.bottom()) {
            clearSpan(image, 0, image.width, row);
        } else {
            clearSpan(image, 0, keep.left, row);
            clearSpan(image, keep.right(), image.width, row);
        }
    }
}

class CropScaleImageContext final : public platform::ImageContext {
public:
    void renderCrop(const platform::PixelBuffer& source, const platform::ImageRect& crop,
                    platform::PixelBuffer& destination) override {
        if (source.pixelFormat() != platform::kPixelFormatBGRA ||
            destination.pixelFormat() != platform::kPixelFormatBGRA || source.planeCount() == 0 ||
            destination.planeCount() == 0) {
            return;
        }
        const BgraImage from = viewOf(source);
        const BgraImage to = viewOf(destination);
        if (to.width <= 0 || to.height <= 0) return;

        const PixelRect cropPixels = cropToSourcePixels(crop, from.height);
        const CropPlacement placement = placeCrop(cropPixels, from.width, from.height, to.width, to.height);
        clearAround(to, placement.destination);
        if (placement.source.empty()) return;

        const PixelRect& in = placement.source;
        const PixelRect& out = placement.destination;
        if (in.width == out.width && in.height == out.height) {
            libyuv::ARGBCopy(from.at(in.left, in.top), from.stride, to.at(out.left, out.top), to.stride, out.width,
                             out.height);
        } else {
            scaler_.scale(from.at(in.left, in.top), from.stride, in.width, in.height, to.at(out.left, out.top),
                          to.stride, out.width, out.height);
        }
    }

private:
    BgraBilinearScaler scaler_;
};

}  // namespace

std::shared_ptr<platform::ImageContext> makeCropScaleImageContext() {
    return std::make_shared<CropScaleImageContext>();
}

}  // namespace recorder::linux_backend
