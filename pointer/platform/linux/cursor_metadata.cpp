#include "pointer/platform/linux/cursor_metadata.hpp"

#include <spa/param/video/raw.h>

#include <cstdint>
#include <cstring>

namespace pointer::platform::linux_wayland {
namespace {

// Byte positions of alpha, red, green and blue in one pixel; alpha -1 for an opaque format.
struct ChannelLayout {
    int alpha, red, green, blue;
};

std::optional<ChannelLayout> layoutOf(uint32_t format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_RGBA: return ChannelLayout{3, 0, 1, 2};
        case SPA_VIDEO_FORMAT_BGRA: return ChannelLayout{3, 2, 1, 0};
        case SPA_VIDEO_FORMAT_ARGB: return ChannelLayout{0, 1, 2, 3};
        case SPA_VIDEO_FORMAT_ABGR: return ChannelLayout{0, 3, 2, 1};
        case SPA_VIDEO_FORMAT_RGBx: return ChannelLayout{-1, 0, 1, 2};
        case SPA_VIDEO_FORMAT_BGRx: return ChannelLayout{-1, 2, 1, 0};
        default: return std::nullopt;
    }
}

std::optional<CursorImage> readPicture(const spa_meta_cursor& cursor, size_t size) {
    const auto* block = reinterpret_cast<const uint8_t*>(&cursor);
    const uint64_t bitmapAt = cursor.bitmap_offset;
    if (bitmapAt < sizeof(spa_meta_cursor) || bitmapAt + sizeof(spa_meta_bitmap) > size) return std::nullopt;
    spa_meta_bitmap bitmap;
    std::memcpy(&bitmap, block + bitmapAt, sizeof bitmap);
    const auto layout = layoutOf(bitmap.format);
    const uint64_t width = bitmap.size.width, height = bitmap.size.height;
    if (!layout || width == 0 || height == 0 || width > kLargestCursorSide || height > kLargestCursorSide) {
        return std::nullopt;
    }
    if (bitmap.stride < 0 || static_cast<uint64_t>(bitmap.stride) < width * 4) return std::nullopt;
    const uint64_t pixelsAt = bitmapAt + bitmap.offset;
    if (bitmap.offset < sizeof(spa_meta_bitmap) ||
        pixelsAt + static_cast<uint64_t>(bitmap.stride) * (height - 1) + width * 4 > size) {
        return std::nullopt;
    }
    CursorImage image;
    image.pixelWidth = static_cast<int>(width);
    image.pixelHeight = static_cast<int>(height);
    // The desktop does not say how many pixels make a point; one is the only safe guess.
    image.width = static_cast<double>(width);
    image.height = static_cast<double>(height);
    image.hotSpot = {static_cast<double>(cursor.hotspot.x), static_cast<double>(cursor.hotspot.y)};
    image.pixels.reserve(width * height);
    bool anyVisible = false;
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* row = block + pixelsAt + y * static_cast<uint64_t>(bitmap.stride);
        for (uint64_t x = 0; x < width; ++x) {
            const uint8_t* pixel = row + x * 4;
            const uint32_t alpha = layout->alpha < 0 ? 255u : pixel[layout->alpha];
            anyVisible = anyVisible || alpha != 0;
            image.pixels.push_back(alpha << 24 | uint32_t{pixel[layout->red]} << 16 |
                                   uint32_t{pixel[layout->green]} << 8 | pixel[layout->blue]);
        }
    }
    if (!anyVisible) return std::nullopt;  // a hidden pointer, drawn as a transparent picture
    return image;
}

}  // namespace

CursorReport readCursorMetadata(const spa_meta_cursor& cursor, size_t size) {
    CursorReport report;
    if (size < sizeof(spa_meta_cursor) || cursor.id == SPA_ID_INVALID || cursor.id == 0) return report;
    report.shown = true;
    report.position = {static_cast<double>(cursor.position.x), static_cast<double>(cursor.position.y)};
    if (cursor.bitmap_offset == 0) return report;  // the same picture as before
    report.hasPicture = true;
    report.picture = readPicture(cursor, size);
    return report;
}

}  // namespace pointer::platform::linux_wayland
