#include "recorder/platform/linux/pixels/crop_scale_image_context.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "guarded_memory.hpp"

namespace {

using pixels_test::GuardedMemory;
using pixels_test::makeGuardedBGRA;
using recorder::linux_backend::makeCropScaleImageContext;
using recorder::platform::ImageRect;
using recorder::platform::kPixelFormatBGRA;
using recorder::platform::PixelBuffer;

using Pixel = std::array<uint8_t, 4>;  // B G R A
constexpr Pixel kRed{0, 0, 255, 255}, kGreen{0, 255, 0, 255}, kBlue{255, 0, 0, 255}, kWhite{255, 255, 255, 255};
constexpr Pixel kTransparentBlack{0, 0, 0, 0};
constexpr uint8_t kPaddingMarker = 0x5C;

// A 'BGRA' buffer whose rows end in padding, as pool and shared-memory buffers may.
std::shared_ptr<PixelBuffer> makeBGRA(int width, int height, int paddingBytes = 16, uint8_t fill = kPaddingMarker) {
    const int stride = width * 4 + paddingBytes;
    auto memory = std::make_shared<std::vector<uint8_t>>(size_t(stride) * height, fill);
    std::vector<PixelBuffer::Plane> planes{{memory->data(), stride, width, height}};
    return std::make_shared<PixelBuffer>(kPixelFormatBGRA, width, height, std::move(planes), memory);
}

uint8_t* at(const PixelBuffer& buffer, int x, int y) {
    return buffer.plane(0).data + size_t(y) * buffer.plane(0).stride + size_t(x) * 4;
}
Pixel pixel(const PixelBuffer& buffer, int x, int y) {
    Pixel p;
    std::memcpy(p.data(), at(buffer, x, y), 4);
    return p;
}
void setPixel(PixelBuffer& buffer, int x, int y, Pixel p) { std::memcpy(at(buffer, x, y), p.data(), 4); }

std::string describe(Pixel p) {
    return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + "," + std::to_string(p[3]);
}

// Every pixel of `buffer` inside columns [left, right) and rows [top, bottom) equals `expected`.
void expectArea(const PixelBuffer& buffer, int left, int top, int right, int bottom, Pixel expected,
                const std::string& what) {
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            ASSERT_EQ(pixel(buffer, x, y), expected) << what << ": at " << x << "," << y << " got "
                                                     << describe(pixel(buffer, x, y)) << " want " << describe(expected);
}

void expectPaddingUntouched(const PixelBuffer& buffer) {
    const auto& plane = buffer.plane(0);
    for (int y = 0; y < buffer.height(); ++y)
        for (int byte = buffer.width() * 4; byte < plane.stride; ++byte)
            ASSERT_EQ(plane.data[size_t(y) * plane.stride + byte], kPaddingMarker) << "row " << y;
}

// 200x100, first row at the top: red top left, green top right, blue bottom left, white bottom right.
std::shared_ptr<PixelBuffer> quadrants() {
    auto image = makeBGRA(200, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            setPixel(*image, x, y, y < 50 ? (x < 100 ? kRed : kGreen) : (x < 100 ? kBlue : kWhite));
    return image;
}

TEST(CropScaleImageContext, CropOfAQuadrantGivesThatQuadrantsColourEverywhere) {
    const auto source = quadrants();
    auto context = makeCropScaleImageContext();
    // Crops are given with the origin at the bottom left: the top quadrants have y = 50.
    struct Case {
        ImageRect crop;
        Pixel colour;
        const char* name;
    };
    const Case cases[] = {{{0, 50, 100, 50}, kRed, "top left"},
                          {{100, 50, 100, 50}, kGreen, "top right"},
                          {{0, 0, 100, 50}, kBlue, "bottom left"},
                          {{100, 0, 100, 50}, kWhite, "bottom right"}};
    for (const Case& c : cases)
        for (auto [width, height] : {std::pair{100, 50}, std::pair{37, 23}, std::pair{160, 90}, std::pair{64, 64}}) {
            auto destination = makeBGRA(width, height);
            context->renderCrop(*source, c.crop, *destination);
            expectArea(*destination, 0, 0, width, height, c.colour,
                       std::string(c.name) + " into " + std::to_string(width) + "x" + std::to_string(height));
            expectPaddingUntouched(*destination);
        }
}

TEST(CropScaleImageContext, CropOfTheDestinationSizeIsAnExactCopy) {
    auto source = makeBGRA(300, 200);
    std::mt19937 random(7);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x)
            setPixel(*source, x, y, {uint8_t(random()), uint8_t(random()), uint8_t(random()), uint8_t(random())});
    auto destination = makeBGRA(120, 80);
    // Top-left corner of the crop at column 33, row 41 (bottom-left y = 200 - 41 - 80 = 79).
    makeCropScaleImageContext()->renderCrop(*source, {33, 79, 120, 80}, *destination);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x)
            ASSERT_EQ(pixel(*destination, x, y), pixel(*source, 33 + x, 41 + y)) << x << "," << y;
    expectPaddingUntouched(*destination);
}

TEST(CropScaleImageContext, StretchesEachAxisByItsOwnFactor) {
    // Blue encodes the source column, green the source row.
    auto source = makeBGRA(256, 256);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) setPixel(*source, x, y, {uint8_t(x), uint8_t(y), 0, 255});
    // Columns 64..191 and rows 32..95 (top-left), into 64x128: x halved, y doubled.
    auto destination = makeBGRA(64, 128);
    makeCropScaleImageContext()->renderCrop(*source, {64, 256 - 96, 128, 64}, *destination);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 64; ++x) {
            const Pixel p = pixel(*destination, x, y);
            // Centre of the destination pixel mapped back into the source.
            const double sourceX = 64 + (x + 0.5) * 2 - 0.5;
            const double sourceY = 32 + (y + 0.5) / 2 - 0.5;
            ASSERT_NEAR(p[0], sourceX, 1.5) << x << "," << y;
            ASSERT_NEAR(p[1], sourceY, 1.0) << x << "," << y;
        }
}

TEST(CropScaleImageContext, FractionalEdgesRoundToWholeSourcePixels) {
    auto source = makeBGRA(100, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x) setPixel(*source, x, y, {uint8_t(x), uint8_t(y), 9, 255});
    auto context = makeCropScaleImageContext();
    auto destination = makeBGRA(21, 11);
    // Edges 10.4..31.4 and (top-left rows) 5.3..16.4: columns 10..30, rows 5..15 as they are.
    context->renderCrop(*source, {10.4, 60 - 16.4, 21.0, 11.1}, *destination);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 21; ++x)
            ASSERT_EQ(pixel(*destination, x, y), (Pixel{uint8_t(10 + x), uint8_t(5 + y), 9, 255}));
    // A crop computed from normalised coordinates carries rounding error; it still lands on the window's pixels.
    const double sw = 100, sh = 60, nx = 17.0 / 100, ny = 23.0 / 60, nw = 21.0 / 100, nh = 11.0 / 60;
    context->renderCrop(*source, {nx * sw, (1.0 - (ny + nh)) * sh, nw * sw, nh * sh}, *destination);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 21; ++x)
            ASSERT_EQ(pixel(*destination, x, y), (Pixel{uint8_t(17 + x), uint8_t(23 + y), 9, 255}));
}

TEST(CropScaleImageContext, PartsOutsideTheSourceAreTransparentBlack) {
    auto source = makeBGRA(100, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) setPixel(*source, x, y, kWhite);
    auto context = makeCropScaleImageContext();

    auto destination = makeBGRA(100, 100, 16, 0x77);
    // Half of the crop left of the image, the top quarter above it.
    context->renderCrop(*source, {-50, 25, 100, 100}, *destination);
    expectArea(*destination, 0, 0, 100, 25, kTransparentBlack, "above");
    expectArea(*destination, 0, 25, 50, 100, kTransparentBlack, "left");
    expectArea(*destination, 50, 25, 100, 100, kWhite, "inside");

    // Stretched five times across and twice down: columns 80..119 and rows 40..139 (top-left) of
    // which columns 80..99 and rows 40..99 exist; the black borders scale with the crop.
    auto large = makeBGRA(200, 200, 16, 0x77);
    context->renderCrop(*source, {80, -40, 40, 100}, *large);
    expectArea(*large, 0, 0, 100, 120, kWhite, "inside, stretched");
    expectArea(*large, 100, 0, 200, 200, kTransparentBlack, "right, stretched");
    expectArea(*large, 0, 120, 100, 200, kTransparentBlack, "below, stretched");

    // Entirely outside.
    context->renderCrop(*source, {150, 150, 20, 20}, *destination);
    expectArea(*destination, 0, 0, 100, 100, kTransparentBlack, "outside");
    // No area at all.
    for (int x = 0; x < 100; ++x) setPixel(*destination, x, 0, kRed);
    context->renderCrop(*source, {10, 10, 0, 20}, *destination);
    expectArea(*destination, 0, 0, 100, 1, kTransparentBlack, "empty crop");
}

TEST(CropScaleImageContext, NeverTouchesMemoryOutsideEitherBuffer) {
    // Tightly packed buffers that end (or begin) right at an inaccessible page: a read or write
    // one byte too far faults, inside libyuv as well.
    auto context = makeCropScaleImageContext();
    const ImageRect crops[] = {
        {-30.5, -20.25, 100, 80},  // past the bottom left
        {90.7, 50.2, 100, 80},     // past the top right
        {-10, -10, 150, 120},      // around the whole image
        {0, 0, 128, 96},           // the whole image
        {127.6, 95.6, 0.3, 0.3},   // a fraction of the top right pixel
        {0.2, 0.1, 0.5, 0.5},      // a fraction of the bottom left pixel
    };
    for (GuardedMemory::Flush flush : {GuardedMemory::Flush::start, GuardedMemory::Flush::end}) {
        auto source = makeGuardedBGRA(128, 96, flush);
        std::memset(source->plane(0).data, 0xC8, size_t(128) * 4 * 96);
        for (const ImageRect& crop : crops)
            for (auto [width, height] :
                 {std::pair{128, 96}, std::pair{33, 17}, std::pair{301, 203}, std::pair{100, 80}}) {
                auto destination = makeGuardedBGRA(width, height, flush);
                context->renderCrop(*source, crop, *destination);
                // Something inside the source was drawn somewhere.
                bool drew = false;
                for (int y = 0; y < height && !drew; ++y)
                    for (int x = 0; x < width && !drew; ++x) drew = pixel(*destination, x, y)[0] == 0xC8;
                EXPECT_TRUE(drew) << crop.x << "," << crop.y << " into " << width << "x" << height;
            }
    }
}

}  // namespace
