#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "guarded_memory.hpp"
#include "recorder/platform/linux/pixels/nv12_block.hpp"
#include "recorder/platform/linux/pixels/nv12_kernels.hpp"

namespace {

using recorder::linux_backend::convertBGRAToNV12BT709;
using recorder::linux_backend::convertBGRAToNV12BT709Rows;
using recorder::linux_backend::convertBGRAToNV12BT709RowsWith;
using recorder::linux_backend::Nv12Kernel;
using recorder::linux_backend::nv12KernelAvailable;
using recorder::linux_backend::nv12KernelName;

struct Rgb {
    int r, g, b;
};

// Independent of the converter's fixed-point constants: the matrix from its definition.
struct Ycc {
    double y, cb, cr;
};
Ycc bt709VideoRange(double r, double g, double b) {
    constexpr double kr = 0.2126, kb = 0.0722, kg = 1 - kr - kb;
    const double luma = kr * r + kg * g + kb * b;  // 0..255
    return {16 + luma * 219 / 255, 128 + (b - luma) / (2 * (1 - kb)) * 224 / 255,
            128 + (r - luma) / (2 * (1 - kr)) * 224 / 255};
}

struct Bgra {
    int width, height, stride;
    std::vector<uint8_t> pixels;

    Bgra(int w, int h, int padding = 0) : width(w), height(h), stride(w * 4 + padding), pixels(size_t(stride) * h) {}
    void set(int x, int y, Rgb c, int a = 255) {
        uint8_t* p = &pixels[size_t(y) * stride + size_t(x) * 4];
        p[0] = uint8_t(c.b), p[1] = uint8_t(c.g), p[2] = uint8_t(c.r), p[3] = uint8_t(a);
    }
    void fill(Rgb c) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) set(x, y, c);
    }
};

struct Nv12 {
    int width, height, yStride, uvStride;
    std::vector<uint8_t> y, uv;

    // Padding bytes after each row hold a marker that no conversion may overwrite.
    Nv12(int w, int h, int padding = 0, uint8_t marker = 0xA5)
        : width(w),
          height(h),
          yStride(w + padding),
          uvStride((w + 1) / 2 * 2 + padding),
          y(size_t(yStride) * h, marker),
          uv(size_t(uvStride) * ((h + 1) / 2), marker) {}
    uint8_t luma(int x, int row) const { return y[size_t(row) * yStride + x]; }
    uint8_t cb(int cx, int crow) const { return uv[size_t(crow) * uvStride + cx * 2]; }
    uint8_t cr(int cx, int crow) const { return uv[size_t(crow) * uvStride + cx * 2 + 1]; }
};

Nv12 convert(Nv12Kernel kernel, const Bgra& image, int padding = 0) {
    Nv12 out(image.width, image.height, padding);
    convertBGRAToNV12BT709RowsWith(kernel, image.pixels.data(), image.stride, image.width, image.height, out.y.data(),
                                   out.yStride, out.uv.data(), out.uvStride, 0, image.height);
    return out;
}

Bgra randomImage(int width, int height, int padding, unsigned seed) {
    Bgra image(width, height, padding);
    std::mt19937 random(seed);
    for (auto& byte : image.pixels) byte = uint8_t(random());
    return image;
}

class EveryKernel : public testing::TestWithParam<Nv12Kernel> {
protected:
    void SetUp() override {
        if (!nv12KernelAvailable(GetParam())) GTEST_SKIP() << nv12KernelName(GetParam()) << " is not available here";
    }
};

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel, testing::Values(Nv12Kernel::scalar, Nv12Kernel::ssse3, Nv12Kernel::avx2),
                         [](const auto& info) { return std::string(nv12KernelName(info.param)); });

TEST_P(EveryKernel, WhiteAndBlackHitTheEndsOfVideoRange) {
    // 83 columns run through a full AVX2 step, an SSSE3 step and a scalar tail.
    for (const auto& [colour, expectedY] : {std::pair{Rgb{255, 255, 255}, 235}, std::pair{Rgb{0, 0, 0}, 16}}) {
        Bgra image(83, 4);
        image.fill(colour);
        const Nv12 out = convert(GetParam(), image);
        for (int row = 0; row < 4; ++row)
            for (int x = 0; x < 83; ++x) ASSERT_EQ(out.luma(x, row), expectedY) << x << "," << row;
        for (int row = 0; row < 2; ++row)
            for (int cx = 0; cx < 42; ++cx) {
                ASSERT_EQ(out.cb(cx, row), 128) << cx;
                ASSERT_EQ(out.cr(cx, row), 128) << cx;
            }
    }
}

TEST_P(EveryKernel, PrimariesAndGreysMatchTheBT709Matrix) {
    const Rgb colours[] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},   {128, 128, 128},
                           {255, 255, 0}, {12, 200, 99}, {250, 3, 180}, {1, 1, 1}};
    for (const Rgb& colour : colours) {
        Bgra image(83, 2);
        image.fill(colour);
        const Nv12 out = convert(GetParam(), image);
        const Ycc expected = bt709VideoRange(colour.r, colour.g, colour.b);
        const std::string what =
            std::to_string(colour.r) + "," + std::to_string(colour.g) + "," + std::to_string(colour.b);
        for (int x = 0; x < 83; ++x) ASSERT_NEAR(out.luma(x, 1), expected.y, 1.0) << what << " at " << x;
        for (int cx = 0; cx < 42; ++cx) {
            ASSERT_NEAR(out.cb(cx, 0), expected.cb, 1.0) << what << " at " << cx;
            ASSERT_NEAR(out.cr(cx, 0), expected.cr, 1.0) << what << " at " << cx;
        }
    }
}

TEST_P(EveryKernel, ChromaIsTheAverageOfItsBlockAndAlphaIsIgnored) {
    // Each 2x2 block holds red, green, blue and white with varying alpha.
    Bgra image(66, 2);
    for (int x = 0; x < 66; x += 2) {
        image.set(x, 0, {255, 0, 0}, x);
        image.set(x + 1, 0, {0, 255, 0}, 0);
        image.set(x, 1, {0, 0, 255}, 255);
        image.set(x + 1, 1, {255, 255, 255}, 7);
    }
    const Nv12 out = convert(GetParam(), image);
    const Ycc expected = bt709VideoRange(510 / 4.0, 510 / 4.0, 510 / 4.0);
    for (int cx = 0; cx < 33; ++cx) {
        EXPECT_NEAR(out.cb(cx, 0), expected.cb, 1.0) << cx;
        EXPECT_NEAR(out.cr(cx, 0), expected.cr, 1.0) << cx;
    }
    EXPECT_NEAR(out.luma(64, 0), bt709VideoRange(255, 0, 0).y, 1.0);
    EXPECT_NEAR(out.luma(65, 1), 235, 0.0);
}

TEST_P(EveryKernel, OddEdgesAverageOnlyThePixelsThatExist) {
    // A padded stride full of white: reading past the row or the last row would lighten the edge.
    for (int width : {1, 3, 33, 65}) {
        Bgra image(width, 3, 12);
        std::fill(image.pixels.begin(), image.pixels.end(), 255);
        image.fill({255, 0, 0});
        const Nv12 out = convert(GetParam(), image, 5);
        const Ycc red = bt709VideoRange(255, 0, 0);
        for (int crow = 0; crow < 2; ++crow)
            for (int cx = 0; cx < (width + 1) / 2; ++cx) {
                ASSERT_NEAR(out.cb(cx, crow), red.cb, 1.0) << width << ": " << cx << "," << crow;
                ASSERT_NEAR(out.cr(cx, crow), red.cr, 1.0) << width << ": " << cx << "," << crow;
            }
        // The padding after every output row is untouched.
        for (int row = 0; row < 3; ++row)
            for (int x = width; x < out.yStride; ++x) ASSERT_EQ(out.y[size_t(row) * out.yStride + x], 0xA5);
        for (int crow = 0; crow < 2; ++crow)
            for (int x = (width + 1) / 2 * 2; x < out.uvStride; ++x)
                ASSERT_EQ(out.uv[size_t(crow) * out.uvStride + x], 0xA5);
    }
}

TEST_P(EveryKernel, GivesTheScalarResultBitForBitOnRandomImages) {
    unsigned seed = 1;
    for (int width : {1, 2, 7, 15, 16, 17, 31, 32, 33, 48, 63, 64, 65, 97, 250, 1927})
        for (int height : {1, 2, 3, 6, 11}) {
            const Bgra image = randomImage(width, height, width % 3 * 4, seed++);
            const Nv12 reference = convert(Nv12Kernel::scalar, image, 3);
            const Nv12 out = convert(GetParam(), image, 3);
            ASSERT_EQ(out.y, reference.y) << width << "x" << height;
            ASSERT_EQ(out.uv, reference.uv) << width << "x" << height;
        }
}

TEST_P(EveryKernel, StaysInsideTightlyPackedBuffers) {
    using pixels_test::GuardedMemory;
    for (int width : {33, 64, 95})
        for (GuardedMemory::Flush flush : {GuardedMemory::Flush::start, GuardedMemory::Flush::end}) {
            const int height = 5;
            GuardedMemory source(size_t(width) * 4 * height, flush);
            GuardedMemory y(size_t(width) * height, flush);
            const int uvStride = (width + 1) / 2 * 2;
            GuardedMemory uv(size_t(uvStride) * 3, flush);
            std::fill(source.data(), source.data() + source.size(), 200);
            convertBGRAToNV12BT709RowsWith(GetParam(), source.data(), width * 4, width, height, y.data(), width,
                                           uv.data(), uvStride, 0, height);
            EXPECT_NEAR(y.data()[y.size() - 1], bt709VideoRange(200, 200, 200).y, 1.0);
            EXPECT_EQ(uv.data()[uv.size() - 1], 128);
        }
}

TEST(BGRAToNV12Rows, ConvertsOnlyTheBandAndItsChromaRows) {
    const Bgra image = randomImage(70, 17, 0, 99);
    Nv12 whole(70, 17);
    convertBGRAToNV12BT709(image.pixels.data(), image.stride, 70, 17, whole.y.data(), whole.yStride, whole.uv.data(),
                           whole.uvStride);

    struct Band {
        int firstRow, rowCount, expectedBegin, expectedEnd;
    };
    const Band bands[] = {
        {4, 6, 4, 10},    // even both ends
        {4, 5, 4, 10},    // odd end: the pair's second row comes along
        {5, 2, 4, 8},     // odd start: taken one row earlier
        {14, 3, 14, 17},  // the last, single row of an odd height
        {12, 100, 12, 17}, {0, 0, 0, 0},
    };
    for (const Band& band : bands) {
        Nv12 out(70, 17);
        convertBGRAToNV12BT709Rows(image.pixels.data(), image.stride, 70, 17, out.y.data(), out.yStride, out.uv.data(),
                                   out.uvStride, band.firstRow, band.rowCount);
        const std::string what = std::to_string(band.firstRow) + "+" + std::to_string(band.rowCount);
        for (int row = 0; row < 17; ++row) {
            const bool inside = row >= band.expectedBegin && row < band.expectedEnd;
            for (int x = 0; x < 70; ++x)
                ASSERT_EQ(out.luma(x, row), inside ? whole.luma(x, row) : 0xA5) << what << " row " << row;
        }
        for (int crow = 0; crow < 9; ++crow) {
            const bool inside = crow * 2 >= band.expectedBegin && crow * 2 < band.expectedEnd;
            for (int cx = 0; cx < 35; ++cx) {
                ASSERT_EQ(out.cb(cx, crow), inside ? whole.cb(cx, crow) : 0xA5) << what << " chroma row " << crow;
                ASSERT_EQ(out.cr(cx, crow), inside ? whole.cr(cx, crow) : 0xA5) << what << " chroma row " << crow;
            }
        }
    }
}

using recorder::linux_backend::Nv12Block;
using recorder::linux_backend::Nv12Image;

Nv12Image planesOf(Nv12& image) {
    return Nv12Image{image.y.data(), image.yStride, image.uv.data(), image.uvStride, image.width, image.height};
}

// The block's pixels packed as a grab of that block alone delivers them.
std::vector<uint8_t> packedBlock(const Bgra& image, const Nv12Block& block) {
    std::vector<uint8_t> packed(size_t(block.width) * block.height * 4, 0x11);
    for (int y = 0; y < block.height && block.y + y < image.height; ++y)
        for (int x = 0; x < block.width && block.x + x < image.width; ++x)
            std::memcpy(&packed[(size_t(y) * block.width + x) * 4], &image.pixels[size_t(block.y + y) * image.stride + size_t(block.x + x) * 4], 4);
    return packed;
}

TEST(NV12Blocks, ConvertingTheChangedBlocksOverTheOldPictureGivesTheWholeConversionOfTheNewOne) {
    // Odd sizes: blocks at the right and bottom edges end in half chroma blocks.
    const int width = 37, height = 23;
    const Bgra before = randomImage(width, height, 8, 5);
    Bgra after = before;
    const Nv12Block changed[] = {{0, 0, 4, 6}, {10, 8, 12, 4}, {30, 16, 7, 7}, {36, 0, 1, 23}, {20, 20, 40, 10}};
    std::mt19937 random(6);
    for (const Nv12Block& block : changed)
        for (int y = block.y; y < std::min(height, block.y + block.height); ++y)
            for (int x = block.x; x < std::min(width, block.x + block.width); ++x) after.set(x, y, {int(random() % 256), int(random() % 256), int(random() % 256)});

    Nv12 expected(width, height, 2);
    convertBGRAToNV12BT709(after.pixels.data(), after.stride, width, height, expected.y.data(), expected.yStride, expected.uv.data(), expected.uvStride);
    Nv12 out(width, height, 2);
    convertBGRAToNV12BT709(before.pixels.data(), before.stride, width, height, out.y.data(), out.yStride, out.uv.data(), out.uvStride);
    for (const Nv12Block& block : changed) {
        const auto packed = packedBlock(after, block);
        recorder::linux_backend::convertBGRAToNV12BT709Block(packed.data(), block.width * 4, block, planesOf(out));
    }
    EXPECT_EQ(out.y, expected.y);
    EXPECT_EQ(out.uv, expected.uv);

    // The whole picture as one block is the whole conversion.
    Nv12 whole(width, height, 2);
    const Nv12Block all{0, 0, width, height};
    recorder::linux_backend::convertBGRAToNV12BT709Block(after.pixels.data(), after.stride, all, planesOf(whole));
    EXPECT_EQ(whole.y, expected.y);
    EXPECT_EQ(whole.uv, expected.uv);
}

TEST(NV12Blocks, CopyingABlockTouchesOnlyItsLumaAndTheChromaBlocksItCovers) {
    const int width = 37, height = 23;
    const Bgra picture = randomImage(width, height, 0, 8);
    Nv12 from(width, height, 2);
    convertBGRAToNV12BT709(picture.pixels.data(), picture.stride, width, height, from.y.data(), from.yStride, from.uv.data(), from.uvStride);
    const Nv12Block blocks[] = {{2, 4, 6, 2}, {30, 16, 7, 7}, {1, 1, 4, 4} /* odd corner: refused */, {40, 0, 2, 2}};
    Nv12 to(width, height, 2);
    for (const Nv12Block& block : blocks) recorder::linux_backend::copyNV12Block(planesOf(from), planesOf(to), block);
    auto inside = [](int x, int y, const Nv12Block& b) { return x >= b.x && x < b.x + b.width && y >= b.y && y < b.y + b.height; };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool copied = inside(x, y, blocks[0]) || inside(x, y, blocks[1]);
            ASSERT_EQ(to.luma(x, y), copied ? from.luma(x, y) : 0xA5) << x << "," << y;
        }
    for (int crow = 0; crow < 12; ++crow)
        for (int cx = 0; cx < 19; ++cx) {
            const bool copied = inside(cx * 2, crow * 2, blocks[0]) || inside(cx * 2, crow * 2, blocks[1]);
            ASSERT_EQ(to.cb(cx, crow), copied ? from.cb(cx, crow) : 0xA5) << cx << "," << crow;
            ASSERT_EQ(to.cr(cx, crow), copied ? from.cr(cx, crow) : 0xA5) << cx << "," << crow;
        }
    // Row padding is never written.
    for (int y = 0; y < height; ++y) ASSERT_EQ(to.y[size_t(y) * to.yStride + width], 0xA5);
}

}  // namespace
