#include "recorder/platform/linux/pixels/crop_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace recorder::linux_backend {
namespace {

// Far beyond any image, yet safe to convert to int and to add to another such value.
constexpr double kCoordinateLimit = 1 << 28;

int roundEdge(double edge) {
    return static_cast<int>(std::lround(std::clamp(edge, -kCoordinateLimit, kCoordinateLimit)));
}

// The whole pixels [first, first + count) for the span [start, start + length).
std::pair<int, int> edgesToPixels(double start, double length) {
    const int first = roundEdge(start);
    const int count = roundEdge(start + length) - first;
    if (count > 0) return {first, count};
    // Rounding closed a span narrower than a pixel: keep the pixel under its middle.
    return {static_cast<int>(std::floor(std::clamp(start + length / 2, -kCoordinateLimit, kCoordinateLimit))), 1};
}

// The destination position of source offset `offset` into a crop of `cropSize` pixels stretched
// over `destinationSize` pixels, to the nearest pixel.
int scaleOffset(int offset, int cropSize, int destinationSize) {
    const int64_t numerator = static_cast<int64_t>(offset) * destinationSize * 2 + cropSize;
    return static_cast<int>(numerator / (static_cast<int64_t>(cropSize) * 2));
}

}  // namespace

PixelRect cropToSourcePixels(const platform::ImageRect& crop, int sourceHeight) {
    if (!std::isfinite(crop.x) || !std::isfinite(crop.y) || !std::isfinite(crop.width) || !std::isfinite(crop.height) ||
        crop.width <= 0 || crop.height <= 0) {
        return {};
    }
    // Bottom-left origin to top-left rows: the crop's top edge is its maximum y.
    const double top = sourceHeight - (crop.y + crop.height);
    const auto [left, width] = edgesToPixels(crop.x, crop.width);
    const auto [row, height] = edgesToPixels(top, crop.height);
    return {left, row, width, height};
}

CropPlacement placeCrop(const PixelRect& crop, int sourceWidth, int sourceHeight, int destinationWidth,
                        int destinationHeight) {
    CropPlacement placement;
    if (crop.empty() || destinationWidth <= 0 || destinationHeight <= 0) return placement;
    const int left = std::max(crop.left, 0);
    const int top = std::max(crop.top, 0);
    const int right = std::min(crop.right(), sourceWidth);
    const int bottom = std::min(crop.bottom(), sourceHeight);
    if (right <= left || bottom <= top) return placement;

    placement.source = {left, top, right - left, bottom - top};
    const int destinationLeft = scaleOffset(left - crop.left, crop.width, destinationWidth);
    const int destinationTop = scaleOffset(top - crop.top, crop.height, destinationHeight);
    const int destinationRight = scaleOffset(right - crop.left, crop.width, destinationWidth);
    const int destinationBottom = scaleOffset(bottom - crop.top, crop.height, destinationHeight);
    placement.destination = {destinationLeft, destinationTop, destinationRight - destinationLeft,
                             destinationBottom - destinationTop};
    if (placement.destination.empty()) placement = {};
    return placement;
}

}  // namespace recorder::linux_backend
