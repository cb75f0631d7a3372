#include "recorder/platform/linux/pipewire/video_format.hpp"

#include <spa/buffer/buffer.h>
#include <spa/param/video/raw.h>

#include <algorithm>

namespace recorder::linux_backend::pipewire {

std::vector<uint32_t> offeredVideoFormats() {
    return {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA};
}

std::optional<ChannelOrder> channelOrderOf(uint32_t spaVideoFormat) {
    switch (spaVideoFormat) {
        case SPA_VIDEO_FORMAT_BGRx:
        case SPA_VIDEO_FORMAT_BGRA:
            return ChannelOrder::bgr;
        case SPA_VIDEO_FORMAT_RGBx:
        case SPA_VIDEO_FORMAT_RGBA:
            return ChannelOrder::rgb;
        default:
            return std::nullopt;
    }
}

PixelArea visibleArea(int bufferWidth, int bufferHeight, std::optional<PixelArea> crop) {
    const PixelArea whole{0, 0, bufferWidth, bufferHeight};
    if (!crop || crop->width <= 0 || crop->height <= 0) return whole;
    const int left = std::max(crop->x, 0);
    const int top = std::max(crop->y, 0);
    const int right = std::min(crop->x + crop->width, bufferWidth);
    const int bottom = std::min(crop->y + crop->height, bufferHeight);
    if (right <= left || bottom <= top) return whole;
    return PixelArea{left, top, right - left, bottom - top};
}

std::optional<RowBand> changedRows(const std::vector<PixelArea>& damage, int width, int height) {
    std::optional<RowBand> band;
    for (const PixelArea& area : damage) {
        const int top = std::max(area.y, 0);
        const int bottom = std::min(area.y + area.height, height);
        const bool inside = area.width > 0 && area.x < width && area.x + area.width > 0;
        if (!inside || bottom <= top) continue;
        if (!band) {
            band = RowBand{top, bottom - top};
            continue;
        }
        const int first = std::min(band->first, top);
        const int last = std::max(band->first + band->count, bottom);
        band = RowBand{first, last - first};
    }
    return band;
}

uint32_t acceptedDataTypes() {
    return (1u << SPA_DATA_MemFd) | (1u << SPA_DATA_MemPtr) | (1u << SPA_DATA_DmaBuf);
}

bool bufferReadable(uint32_t dataType, const void* mapped, uint32_t maxSize, uint32_t offset, int stride, int height,
                    int width) {
    if (dataType >= 32 || !(acceptedDataTypes() & (1u << dataType))) return false;
    if (!mapped || width <= 0 || height <= 0 || stride < width * 4) return false;
    // The last row needs only its pixels, not a whole stride.
    const uint64_t needed = static_cast<uint64_t>(offset) +
                            static_cast<uint64_t>(stride) * static_cast<uint64_t>(height - 1) +
                            static_cast<uint64_t>(width) * 4;
    return needed <= maxSize;
}

}  // namespace recorder::linux_backend::pipewire
