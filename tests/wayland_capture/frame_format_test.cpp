// What the consumer accepts from PipeWire, which part of a buffer is the picture, and how
// pictures of another size or channel order come into the recording's fixed frames.

#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "recorder/platform/linux/pipewire/video_format.hpp"
#include "recorder/platform/linux/pixels/frame_fitting.hpp"

namespace recorder::linux_backend {
namespace {

using pipewire::PixelArea;

TEST(VideoFormat, TheFourRgbLayoutsAreOfferedBgrxFirstAndNothingElseIsRead) {
    const auto offered = pipewire::offeredVideoFormats();
    ASSERT_EQ(offered.size(), 4u);
    EXPECT_EQ(offered.front(), static_cast<uint32_t>(SPA_VIDEO_FORMAT_BGRx));
    EXPECT_EQ(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_BGRx), ChannelOrder::bgr);
    EXPECT_EQ(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_BGRA), ChannelOrder::bgr);
    EXPECT_EQ(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_RGBx), ChannelOrder::rgb);
    EXPECT_EQ(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_RGBA), ChannelOrder::rgb);
    for (const uint32_t format : offered) EXPECT_TRUE(pipewire::channelOrderOf(format));
    // Alpha first, planar and 24-bit layouts would be read wrongly as any of ours.
    EXPECT_FALSE(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_xRGB));
    EXPECT_FALSE(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_ARGB));
    EXPECT_FALSE(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_I420));
    EXPECT_FALSE(pipewire::channelOrderOf(SPA_VIDEO_FORMAT_RGB));
}

TEST(VideoFormat, OnlyMappedBuffersLargeEnoughForThePictureAreRead) {
    const uint8_t memory[16] = {};
    // 1920x1080 BGRx at stride 7680: the last row needs only its own pixels.
    const uint32_t exact = 7680u * 1079u + 1920u * 4u;
    EXPECT_TRUE(pipewire::bufferReadable(SPA_DATA_MemFd, memory, exact, 0, 7680, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_MemFd, memory, exact - 1, 0, 7680, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_MemFd, memory, exact, 64, 7680, 1080, 1920));
    EXPECT_TRUE(pipewire::bufferReadable(SPA_DATA_MemPtr, memory, exact, 0, 7680, 1080, 1920));
    // A DMA-BUF is read only when PipeWire could map it.
    EXPECT_TRUE(pipewire::bufferReadable(SPA_DATA_DmaBuf, memory, exact, 0, 7680, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_DmaBuf, nullptr, exact, 0, 7680, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_MemFd, nullptr, exact, 0, 7680, 1080, 1920));
    // Rows that overlap, and types that are no memory at all.
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_MemFd, memory, exact, 0, 7676, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_Invalid, memory, exact, 0, 7680, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(40, memory, exact, 0, 7680, 1080, 1920));
    EXPECT_FALSE(pipewire::bufferReadable(SPA_DATA_MemFd, memory, exact, 0, 7680, 0, 1920));
}

TEST(VisibleArea, AWindowInAMonitorSizedBufferIsItsCropClippedToTheBuffer) {
    EXPECT_EQ(pipewire::visibleArea(1920, 1080, std::nullopt), (PixelArea{0, 0, 1920, 1080}));
    EXPECT_EQ(pipewire::visibleArea(1920, 1080, PixelArea{0, 0, 801, 601}), (PixelArea{0, 0, 801, 601}));
    EXPECT_EQ(pipewire::visibleArea(1920, 1080, PixelArea{100, 50, 640, 480}), (PixelArea{100, 50, 640, 480}));
    // Partly outside: only the part in the buffer.
    EXPECT_EQ(pipewire::visibleArea(1920, 1080, PixelArea{1800, -20, 300, 100}), (PixelArea{1800, 0, 120, 80}));
    // Empty or entirely outside: the crop says nothing usable, the whole buffer is the picture.
    EXPECT_EQ(pipewire::visibleArea(1920, 1080, PixelArea{10, 10, 0, 40}), (PixelArea{0, 0, 1920, 1080}));
    EXPECT_EQ(pipewire::visibleArea(1920, 1080, PixelArea{2000, 10, 40, 40}), (PixelArea{0, 0, 1920, 1080}));
}

TEST(ChangedRows, DamageBecomesOneBandOfRowsInsideThePicture) {
    using pipewire::RowBand;
    EXPECT_FALSE(pipewire::changedRows({}, 1920, 1080));
    EXPECT_EQ(pipewire::changedRows({{100, 200, 50, 40}}, 1920, 1080), (RowBand{200, 40}));
    EXPECT_EQ(pipewire::changedRows({{100, 200, 50, 40}, {0, 900, 10, 10}, {5, 210, 5, 5}}, 1920, 1080),
              (RowBand{200, 710}));
    // Clipped at both ends; rectangles without area or beside the picture say nothing.
    EXPECT_EQ(pipewire::changedRows({{0, -10, 10, 30}, {0, 1070, 10, 30}}, 1920, 1080), (RowBand{0, 1080}));
    EXPECT_FALSE(pipewire::changedRows({{0, 0, 0, 0}}, 1920, 1080));
    EXPECT_FALSE(pipewire::changedRows({{1920, 10, 10, 10}, {-20, 10, 20, 10}, {0, 1080, 10, 10}}, 1920, 1080));
}

// A BGRx picture whose left half is one colour and right half another.
struct TwoColourPicture {
    TwoColourPicture(int width, int height, uint32_t left, uint32_t right, int padding = 0)
        : width(width), height(height), stride(width * 4 + padding), pixels(static_cast<size_t>(stride) * height) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint32_t value = x < width / 2 ? left : right;
                std::memcpy(&pixels[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4], &value, 4);
            }
    }
    SourcePicture picture(ChannelOrder order = ChannelOrder::bgr) const {
        return SourcePicture{pixels.data(), stride, width, height, order};
    }
    int width, height, stride;
    std::vector<uint8_t> pixels;
};

uint32_t pixelAt(const platform::PixelBuffer& buffer, int x, int y) {
    uint32_t value;
    std::memcpy(&value, buffer.plane(0).data + static_cast<ptrdiff_t>(y) * buffer.plane(0).stride + x * 4, 4);
    return value;
}

constexpr uint32_t kBlueX = 0x00FF0000u >> 16;  // B=255 in the first byte, padding byte 0
constexpr uint32_t kRedX = 0x00FF0000u;         // R=255 in the third byte

TEST(FrameFitting, APictureOfTheFixedSizeIsCopiedOpaqueWithItsColours) {
    const TwoColourPicture source(64, 32, kBlueX, kRedX, 12);
    auto destination = platform::PixelBuffer::allocate(platform::kPixelFormatBGRA, 64, 32);
    FrameFitter fitter;
    fitter.fit(source.picture(), *destination);
    EXPECT_EQ(pixelAt(*destination, 5, 5), 0xFF0000FFu);
    EXPECT_EQ(pixelAt(*destination, 60, 30), 0xFFFF0000u);
}

TEST(FrameFitting, RgbOrderedPicturesComeOutWithTheSameColours) {
    // In R, G, B, x order the first byte is red.
    const TwoColourPicture source(64, 32, 0x000000FFu, 0x00FF0000u);
    auto destination = platform::PixelBuffer::allocate(platform::kPixelFormatBGRA, 64, 32);
    FrameFitter fitter;
    fitter.fit(source.picture(ChannelOrder::rgb), *destination);
    EXPECT_EQ(pixelAt(*destination, 5, 5), 0xFFFF0000u);   // red
    EXPECT_EQ(pixelAt(*destination, 60, 30), 0xFF0000FFu);  // blue
}

TEST(FrameFitting, APictureThatChangedSizeIsStretchedOverTheWholeFixedFrame) {
    FrameFitter fitter;
    auto destination = platform::PixelBuffer::allocate(platform::kPixelFormatBGRA, 200, 100);
    // The source grew to twice the size and later shrank below it: both fill the frame, the colour
    // border stays in the middle.
    for (const auto& [width, height] : {std::pair{400, 200}, std::pair{100, 40}}) {
        const TwoColourPicture source(width, height, kBlueX, kRedX);
        fitter.fit(source.picture(), *destination);
        EXPECT_EQ(pixelAt(*destination, 0, 0), 0xFF0000FFu) << width;
        EXPECT_EQ(pixelAt(*destination, 90, 99), 0xFF0000FFu) << width;
        EXPECT_EQ(pixelAt(*destination, 110, 0), 0xFFFF0000u) << width;
        EXPECT_EQ(pixelAt(*destination, 199, 99), 0xFFFF0000u) << width;
    }
}

TEST(FrameFitting, AWindowCutFromAMonitorSizedBufferFillsTheFrameWithTheWindowAlone) {
    // The monitor is blue; the window at (40, 20) is red and white.
    TwoColourPicture monitor(320, 200, kBlueX, kBlueX);
    const TwoColourPicture window(100, 60, kRedX, 0x00FFFFFFu);
    for (int y = 0; y < window.height; ++y)
        std::memcpy(&monitor.pixels[static_cast<size_t>(y + 20) * monitor.stride + 40 * 4],
                    &window.pixels[static_cast<size_t>(y) * window.stride], static_cast<size_t>(window.width) * 4);
    const PixelArea area = pipewire::visibleArea(320, 200, PixelArea{40, 20, 100, 60});
    const SourcePicture cut{monitor.pixels.data() + area.y * monitor.stride + area.x * 4, monitor.stride, area.width,
                            area.height, ChannelOrder::bgr};
    auto destination = platform::PixelBuffer::allocate(platform::kPixelFormatBGRA, 100, 60);
    FrameFitter fitter;
    fitter.fit(cut, *destination);
    for (int y : {0, 59})
        for (int x : {0, 49, 50, 99}) {
            EXPECT_EQ(pixelAt(*destination, x, y), x < 50 ? 0xFFFF0000u : 0xFFFFFFFFu) << x << "," << y;
        }
}

TEST(FrameFitting, NV12FramesGetTheLumaOfTheFittedPicture) {
    const TwoColourPicture source(128, 64, 0x00000000u, 0x00FFFFFFu);
    auto destination = platform::PixelBuffer::allocate(platform::kPixelFormat420v, 64, 32);
    FrameFitter fitter;
    fitter.fit(source.picture(), *destination);
    const auto& luma = destination->plane(0);
    // Video range: black 16, white 235.
    EXPECT_EQ(luma.data[5 * luma.stride + 5], 16);
    EXPECT_EQ(luma.data[30 * luma.stride + 60], 235);
}

TEST(FrameFitting, ConvertingOnlyTheChangedRowsGivesTheSamePictureAsConvertingAll) {
    // Odd band edges: the chroma rows shared with unchanged rows must be redone too.
    const TwoColourPicture before(64, 40, 0x00204060u, 0x00C0A080u);
    TwoColourPicture after = before;
    for (int y = 13; y < 22; ++y)
        for (int x = 0; x < 64; ++x) std::memcpy(&after.pixels[static_cast<size_t>(y) * after.stride + x * 4u], &kRedX, 4);
    FrameFitter fitter;
    auto previous = platform::PixelBuffer::allocate(platform::kPixelFormat420v, 64, 40);
    fitter.fit(before.picture(), *previous);
    auto whole = platform::PixelBuffer::allocate(platform::kPixelFormat420v, 64, 40);
    fitter.fit(after.picture(), *whole);
    auto band = platform::PixelBuffer::allocate(platform::kPixelFormat420v, 64, 40);
    ASSERT_TRUE(fitter.fitChangedRows(after.picture(), *previous, 13, 9, *band));
    for (size_t plane = 0; plane < 2; ++plane) {
        const auto& expected = whole->plane(plane);
        const auto& actual = band->plane(plane);
        for (int row = 0; row < expected.height; ++row)
            ASSERT_EQ(std::memcmp(expected.data + row * expected.stride, actual.data + row * actual.stride,
                                  static_cast<size_t>(std::min(expected.stride, actual.stride))),
                      0)
                << "plane " << plane << " row " << row;
    }
    // Where the shortcut cannot hold, nothing is written and the caller converts everything.
    auto untouched = platform::PixelBuffer::allocate(platform::kPixelFormat420v, 64, 40);
    std::memset(untouched->plane(0).data, 7, static_cast<size_t>(untouched->plane(0).stride));
    const TwoColourPicture larger(128, 80, kBlueX, kRedX);
    EXPECT_FALSE(fitter.fitChangedRows(larger.picture(), *previous, 0, 10, *untouched));
    EXPECT_FALSE(fitter.fitChangedRows(after.picture(ChannelOrder::rgb), *previous, 0, 10, *untouched));
    auto bgra = platform::PixelBuffer::allocate(platform::kPixelFormatBGRA, 64, 40);
    EXPECT_FALSE(fitter.fitChangedRows(after.picture(), *previous, 0, 10, *bgra));
    EXPECT_FALSE(fitter.fitChangedRows(after.picture(), *previous, 0, 40, *untouched));
    EXPECT_EQ(untouched->plane(0).data[0], 7);
}

}  // namespace
}  // namespace recorder::linux_backend
