#include "pointer/classify/cursor_signature.hpp"

#include <gtest/gtest.h>

#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer_fakes.hpp"

namespace pointer::classify {
namespace {

using testing::solidImage;

const platform::linux_x11::CairoImageRenderer renderer;

int solidCount(const CursorSignature& s) {
    return static_cast<int>(std::count(s.shapeSamples.begin(), s.shapeSamples.end(), 255));
}

TEST(CursorSignature, FullSquareFillsEverySampleAndRatiosFollowTheHotSpot) {
    const auto s = signature(solidImage(32, 32, {8, 16}), renderer);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->shapeSamples.size(), 32u * 32u);
    EXPECT_EQ(solidCount(*s), 32 * 32);
    EXPECT_DOUBLE_EQ(s->aspectRatio, 1.0);
    EXPECT_DOUBLE_EQ(s->hotspotXRatio, 0.25);
    EXPECT_DOUBLE_EQ(s->hotspotYRatio, 0.5);
}

TEST(CursorSignature, TallImageIsScaledToFitAndCentredSideways) {
    // 12 x 24 scales by 32/24 to 16 x 32, leaving 8 empty columns on either side.
    const auto s = signature(solidImage(12, 24), renderer);
    ASSERT_TRUE(s);
    for (int row = 0; row < 32; ++row) {
        for (int column = 0; column < 32; ++column) {
            const bool inside = column >= 8 && column < 24;
            ASSERT_EQ(s->shapeSamples[size_t(row * 32 + column)], inside ? 255 : 0) << row << "," << column;
        }
    }
    EXPECT_DOUBLE_EQ(s->aspectRatio, 0.5);
}

TEST(CursorSignature, WideImageLeavesRowsEmptyAboveAndBelow) {
    const auto s = signature(solidImage(32, 8), renderer);
    ASSERT_TRUE(s);
    EXPECT_EQ(solidCount(*s), 32 * 8);
    EXPECT_EQ(s->shapeSamples[0], 0);                 // top row empty
    EXPECT_EQ(s->shapeSamples[size_t(12 * 32)], 255);  // rows 12..19 filled
    EXPECT_EQ(s->shapeSamples[size_t(20 * 32)], 0);
}

TEST(CursorSignature, FaintPixelsBelowTheAlphaThresholdDoNotCount) {
    auto image = solidImage(32, 32);
    for (size_t i = 0; i < 32; ++i) image.pixels[i] = 0x18000000u;        // alpha 24: top row
    for (size_t i = 32; i < 64; ++i) image.pixels[i] = 0x19000000u;       // alpha 25: second row
    const auto s = signature(image, renderer);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->shapeSamples[0], 0);
    EXPECT_EQ(s->shapeSamples[32], 255);
}

TEST(CursorSignature, ImagesWithoutAreaHaveNoSignature) {
    EXPECT_FALSE(signature(solidImage(0, 16), renderer));
    EXPECT_FALSE(signature(solidImage(16, 0), renderer));
    auto negative = solidImage(16, 16);
    negative.width = -1;
    EXPECT_FALSE(signature(negative, renderer));
}

TEST(CursorSignature, RatiosOfAnImageSmallerThanOnePointDivideByOne) {
    auto image = solidImage(2, 1, {1, 0.25});
    image.width = 0.8;   // points, narrower than one
    image.height = 0.5;  // and lower than one
    const auto s = signature(image, renderer);
    ASSERT_TRUE(s);
    EXPECT_DOUBLE_EQ(s->aspectRatio, 0.8);  // the width itself, not 0.8 / 0.5
    EXPECT_DOUBLE_EQ(s->hotspotXRatio, 1.0);
    EXPECT_DOUBLE_EQ(s->hotspotYRatio, 0.25);
}

CursorSignature blankSignature(double aspect = 1, double hx = 0, double hy = 0) {
    return {aspect, hx, hy, std::vector<uint8_t>(1024, 0)};
}

TEST(SignatureScore, IdenticalSignaturesScoreZero) {
    const auto s = signature(solidImage(20, 30, {3, 4}), renderer);
    ASSERT_TRUE(s);
    EXPECT_EQ(signatureScore(*s, *s), 0);
}

TEST(SignatureScore, EachDifferingSampleCosts255) {
    auto a = blankSignature();
    auto b = blankSignature();
    b.shapeSamples[0] = 255;
    b.shapeSamples[1023] = 255;
    EXPECT_EQ(signatureScore(a, b), 510);
    EXPECT_EQ(signatureScore(b, a), 510);
}

TEST(SignatureScore, ProportionAndHotSpotTermsAreWeightedAndTruncated) {
    // 0.25 * 1800 = 450 exactly.
    EXPECT_EQ(signatureScore(blankSignature(1.0), blankSignature(0.75)), 450);
    // (0.125 + 0.25) * 2200 = 825 exactly.
    EXPECT_EQ(signatureScore(blankSignature(1, 0.5, 0.5), blankSignature(1, 0.375, 0.25)), 825);
    // 0.1235 * 1800 = 222.3 and 0.1239 * 1800 = 223.02: truncated, not rounded.
    EXPECT_EQ(signatureScore(blankSignature(0.6235), blankSignature(0.5)), 222);
    EXPECT_EQ(signatureScore(blankSignature(0.3761), blankSignature(0.5)), 223);
    // 0.0004 * 2200 = 0.88: truncated to nothing.
    EXPECT_EQ(signatureScore(blankSignature(1, 0, 0.5004), blankSignature(1, 0, 0.5)), 0);
    // 0.001 * 2200 = 2.2: truncated to 2; 0.0001 * 1800 = 0.18: truncated to 0.
    EXPECT_EQ(signatureScore(blankSignature(1, 0.001, 0), blankSignature(1.0001, 0, 0)), 2);
}

TEST(SignatureScore, SamplesAreComparedOverTheShorterList) {
    auto a = blankSignature();
    CursorSignature shorter{1, 0, 0, std::vector<uint8_t>(10, 255)};
    a.shapeSamples[500] = 255;  // beyond the shorter list: not counted
    EXPECT_EQ(signatureScore(a, shorter), 10 * 255);
}

}  // namespace
}  // namespace pointer::classify
