#pragma once

#include "pointer/platform/cursor_services.hpp"

namespace pointer::platform::linux_x11 {

// Draws and encodes cursor pictures with cairo, whose ARGB32 format is the premultiplied ARGB that
// X cursors already use: pixels go in as they are.
class CairoImageRenderer final : public ImageRenderer {
public:
    std::optional<std::vector<uint8_t>> renderAlpha(const CursorImage& image, int side,
                                                    const common::Rect& destination) const override;
    std::optional<std::vector<uint8_t>> encodePng(const CursorImage& image) const override;
};

}  // namespace pointer::platform::linux_x11
