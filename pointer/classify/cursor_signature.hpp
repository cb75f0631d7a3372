#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pointer/platform/cursor_services.hpp"

namespace pointer::classify {

inline constexpr int kSignatureSampleSize = 32;

// A coarse fingerprint of a cursor picture: its proportions, where its hot spot sits, and which of
// N x N cells of the picture scaled to fit are solid enough to see.
struct CursorSignature {
    double aspectRatio = 0;
    double hotspotXRatio = 0;
    double hotspotYRatio = 0;
    std::vector<uint8_t> shapeSamples;  // N * N values, 0 or 255, top row first
    bool operator==(const CursorSignature&) const = default;
};

// None when the image has no area or cannot be drawn.
std::optional<CursorSignature> signature(const platform::CursorImage& image,
                                         const platform::ImageRenderer& renderer,
                                         int sampleSize = kSignatureSampleSize);

// 0 for identical signatures, larger the less alike they are.
int64_t signatureScore(const CursorSignature& a, const CursorSignature& b);

}  // namespace pointer::classify
