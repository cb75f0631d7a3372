#pragma once

#include <spa/buffer/meta.h>

#include <cstddef>
#include <optional>

#include "common/rect.hpp"
#include "pointer/platform/cursor_image.hpp"

namespace pointer::platform::linux_wayland {

// The most a cursor picture may measure; desktops send at most 384 x 384 (a 48-point cursor at
// scale 8), and a consumer that allows less gets no metadata at all.
inline constexpr int kLargestCursorSide = 384;

// The room one cursor metadata block needs for a picture of `side` x `side`.
constexpr size_t cursorMetadataSize(int side) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<size_t>(side) * side * 4;
}

// What one buffer's cursor metadata says. The picture is there only when the desktop sent a new
// one; it sends one only when the cursor changes.
struct CursorReport {
    bool shown = false;  // false: the pointer is not on this screen (no position, no picture)
    common::Point position;
    bool hasPicture = false;
    std::optional<CursorImage> picture;  // none for an empty (invisible) cursor
};

// Reads the `size` bytes of a cursor metadata block as the producer wrote them, trusting none of
// its offsets or sizes: anything that points outside the block reads as no picture.
CursorReport readCursorMetadata(const spa_meta_cursor& cursor, size_t size);

}  // namespace pointer::platform::linux_wayland
