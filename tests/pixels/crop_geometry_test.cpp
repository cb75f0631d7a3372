#include "recorder/platform/linux/pixels/crop_geometry.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using recorder::linux_backend::cropToSourcePixels;
using recorder::linux_backend::PixelRect;
using recorder::linux_backend::placeCrop;
using recorder::platform::ImageRect;

// What the recorder does with a crop normalised to the display (top-left origin): the crop in
// image pixels with the origin at the bottom left.
ImageRect imageCropOf(double x, double y, double width, double height, double sw, double sh) {
    return {x * sw, (1.0 - (y + height)) * sh, width * sw, height * sh};
}

TEST(CropGeometry, WindowOnARetinaSizedDisplayLandsOnItsOwnPixels) {
    // 1440x900 points at scale 2, window (100, 50, 800, 600) points.
    const ImageRect crop = imageCropOf(100.0 / 1440, 50.0 / 900, 800.0 / 1440, 600.0 / 900, 2880, 1800);
    EXPECT_NEAR(crop.y, 500, 1e-9);
    const PixelRect pixels = cropToSourcePixels(crop, 1800);
    EXPECT_EQ(pixels, (PixelRect{200, 100, 1600, 1200}));
    const auto placement = placeCrop(pixels, 2880, 1800, 1600, 1200);
    EXPECT_EQ(placement.source, (PixelRect{200, 100, 1600, 1200}));
    EXPECT_EQ(placement.destination, (PixelRect{0, 0, 1600, 1200}));
}

TEST(CropGeometry, CropAtTheTopOfTheDisplayReadsTheFirstRows) {
    const ImageRect crop = imageCropOf(0.25, 0.0, 0.5, 0.3, 1920, 1080);
    EXPECT_EQ(cropToSourcePixels(crop, 1080), (PixelRect{480, 0, 960, 324}));
    const ImageRect bottom = imageCropOf(0.0, 0.7, 1.0, 0.3, 1920, 1080);
    EXPECT_EQ(cropToSourcePixels(bottom, 1080), (PixelRect{0, 756, 1920, 324}));
}

TEST(CropGeometry, FractionalEdgesRoundToTheNearestPixelEdge) {
    // Edges, not origin and size, are rounded: a crop from 10.4 to 20.6 covers pixels 10..20.
    EXPECT_EQ(cropToSourcePixels({10.4, 100 - 20.6, 10.2, 10.2}, 100), (PixelRect{10, 10, 11, 11}));
    EXPECT_EQ(cropToSourcePixels({10.6, 50, 10.0, 10.0}, 100), (PixelRect{11, 40, 10, 10}));
    // Less than a pixel keeps the pixel under its middle, even where both edges round the same
    // way (rows 94.7..94.9 lie in row 94; columns 127.6..127.9 in column 127).
    EXPECT_EQ(cropToSourcePixels({5.1, 5.1, 0.2, 0.2}, 100), (PixelRect{5, 94, 1, 1}));
    EXPECT_EQ(cropToSourcePixels({127.6, 95.6, 0.3, 0.3}, 96), (PixelRect{127, 0, 1, 1}));
    // No area or no number keeps none.
    EXPECT_TRUE(cropToSourcePixels({5, 5, 0, 10}, 100).empty());
    EXPECT_TRUE(cropToSourcePixels({5, 5, 10, -1}, 100).empty());
    EXPECT_TRUE(cropToSourcePixels({std::numeric_limits<double>::quiet_NaN(), 5, 10, 10}, 100).empty());
    EXPECT_TRUE(cropToSourcePixels({5, 5, std::numeric_limits<double>::infinity(), 10}, 100).empty());
}

TEST(CropGeometry, CropReachingPastTheImageKeepsOnlyTheInsideInProportion) {
    // 200 pixels wide, half of them left of the image, stretched to 400: the inside half lands
    // on the right half of the destination.
    auto placement = placeCrop({-100, 0, 200, 100}, 1000, 500, 400, 100);
    EXPECT_EQ(placement.source, (PixelRect{0, 0, 100, 100}));
    EXPECT_EQ(placement.destination, (PixelRect{200, 0, 200, 100}));

    // Past the bottom right corner.
    placement = placeCrop({900, 450, 200, 100}, 1000, 500, 200, 100);
    EXPECT_EQ(placement.source, (PixelRect{900, 450, 100, 50}));
    EXPECT_EQ(placement.destination, (PixelRect{0, 0, 100, 50}));

    // Larger than the image on every side.
    placement = placeCrop({-10, -20, 1020, 540}, 1000, 500, 102, 54);
    EXPECT_EQ(placement.source, (PixelRect{0, 0, 1000, 500}));
    EXPECT_EQ(placement.destination, (PixelRect{1, 2, 100, 50}));
}

TEST(CropGeometry, CropMissingTheImagePlacesNothing) {
    for (const PixelRect& crop : {PixelRect{1000, 0, 50, 50}, PixelRect{-50, 0, 50, 50}, PixelRect{0, 500, 10, 10},
                                  PixelRect{0, -10, 10, 10}}) {
        const auto placement = placeCrop(crop, 1000, 500, 64, 64);
        EXPECT_TRUE(placement.source.empty());
        EXPECT_TRUE(placement.destination.empty());
    }
    // A sliver inside the image that shrinks to nothing in the destination places nothing either.
    const auto sliver = placeCrop({-999, 0, 1000, 10}, 1000, 500, 100, 10);
    EXPECT_TRUE(sliver.source.empty());
}

TEST(CropGeometry, AbsurdCoordinatesStayFarOutsideWithoutOverflowing) {
    const PixelRect huge = cropToSourcePixels({1e300, -1e300, 1e300, 1e300}, 1080);
    EXPECT_TRUE(placeCrop(huge, 1920, 1080, 100, 100).source.empty());
    const PixelRect everything = cropToSourcePixels({-1e12, -1e12, 4e12, 4e12}, 1080);
    EXPECT_LT(everything.left, -1000000);
    EXPECT_GT(everything.bottom(), 1000000);
    // The whole image shrinks to less than a destination pixel.
    EXPECT_TRUE(placeCrop(everything, 1920, 1080, 100, 100).destination.empty());
}

}  // namespace
