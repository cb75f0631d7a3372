#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "recorder/platform/linux/pixels/frame_fitting.hpp"

namespace recorder::linux_backend::pipewire {

// The raw video formats this consumer offers, best first (SPA video format numbers): the
// 32-bit RGB layouts desktops produce; the alpha byte, where there is one, is not used.
std::vector<uint32_t> offeredVideoFormats();

// The channel order of a negotiated format, or none when it is not one of the offered ones.
std::optional<ChannelOrder> channelOrderOf(uint32_t spaVideoFormat);

// The part of a buffer that shows the picture, in whole pixels.
struct PixelArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelArea&) const = default;
};

// The producer's crop (a window inside a monitor-sized buffer) when it has one that lies in the
// buffer, clipped to it; otherwise the whole buffer.
PixelArea visibleArea(int bufferWidth, int bufferHeight, std::optional<PixelArea> crop);

// The rows a frame changed, from the producer's damage rectangles: the band from the first damaged
// row to the last, clipped to the picture. None when no rectangle has an area in it (the damage is
// then unknown, not empty: producers that do not fill the metadata leave it zeroed).
struct RowBand {
    int first = 0;
    int count = 0;
    bool operator==(const RowBand&) const = default;
};
std::optional<RowBand> changedRows(const std::vector<PixelArea>& damage, int width, int height);

// The SPA data types the buffers may have (SPA_DATA_*), as a bit mask: memory that PipeWire can
// map for us. A DMA-BUF is taken only when it arrives mapped (see bufferReadable).
uint32_t acceptedDataTypes();

// Whether a buffer's first data block can be read as pixels: of an accepted type, mapped, and
// large enough for `height` rows of `width` pixels `stride` bytes apart from `offset`.
bool bufferReadable(uint32_t dataType, const void* mapped, uint32_t maxSize, uint32_t offset, int stride,
                    int height, int width);

}  // namespace recorder::linux_backend::pipewire
