#include "pointer/classify/cursor_signature.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace pointer::classify {
namespace {

// A cell counts as part of the shape from this alpha on: faint shadows and anti-aliasing fringes
// stay out, so themes that differ only in their soft edges still match.
constexpr uint8_t kSolidAlpha = 25;

// Weights of a mismatch in proportions and in hot-spot position, in units of one differing
// sample (255): they make a shape with the right outline but the wrong hot spot lose.
constexpr double kAspectWeight = 1800;
constexpr double kHotspotWeight = 2200;

}  // namespace

std::optional<CursorSignature> signature(const platform::CursorImage& image,
                                         const platform::ImageRenderer& renderer, int sampleSize) {
    const double w = image.width;
    const double h = image.height;
    if (!(w > 0) || !(h > 0) || sampleSize <= 0) return std::nullopt;

    const double n = sampleSize;
    const double scale = std::min(n / h, n / w);
    const common::Rect destination{(n - scale * w) / 2, (n - scale * h) / 2, scale * w, scale * h};
    const auto alpha = renderer.renderAlpha(image, sampleSize, destination);
    const auto cells = static_cast<size_t>(sampleSize) * static_cast<size_t>(sampleSize);
    if (!alpha || alpha->size() < cells) return std::nullopt;

    CursorSignature result;
    result.shapeSamples.reserve(cells);
    for (size_t i = 0; i < cells; ++i) result.shapeSamples.push_back((*alpha)[i] >= kSolidAlpha ? 255 : 0);
    result.aspectRatio = w / std::max(h, 1.0);
    result.hotspotXRatio = image.hotSpot.x / std::max(w, 1.0);
    result.hotspotYRatio = image.hotSpot.y / std::max(h, 1.0);
    return result;
}

int64_t signatureScore(const CursorSignature& a, const CursorSignature& b) {
    const size_t common = std::min(a.shapeSamples.size(), b.shapeSamples.size());
    int64_t shapeDistance = 0;
    for (size_t i = 0; i < common; ++i) {
        shapeDistance += std::abs(int{a.shapeSamples[i]} - int{b.shapeSamples[i]});
    }
    const auto aspectTerm = static_cast<int64_t>(std::abs(a.aspectRatio - b.aspectRatio) * kAspectWeight);
    const auto hotspotTerm = static_cast<int64_t>(
        (std::abs(a.hotspotXRatio - b.hotspotXRatio) + std::abs(a.hotspotYRatio - b.hotspotYRatio)) * kHotspotWeight);
    return shapeDistance + aspectTerm + hotspotTerm;
}

}  // namespace pointer::classify
