#include "recorder/platform/linux/pixels/frame_fitting.hpp"

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstring>

#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"
#include "recorder/platform/linux/pixels/opaque_copy.hpp"

namespace recorder::linux_backend {

void FrameFitter::fit(const SourcePicture& source, platform::PixelBuffer& destination) {
    if (!source.pixels || source.width <= 0 || source.height <= 0) return;
    const uint8_t* pixels = source.pixels;
    int stride = source.stride;
    if (source.order == ChannelOrder::rgb) {
        swapped_.resize(static_cast<size_t>(source.width) * source.height * 4);
        // libyuv names formats by their 32-bit word: its "ABGR" is R, G, B, A in memory.
        libyuv::ABGRToARGB(pixels, stride, swapped_.data(), source.width * 4, source.width, source.height);
        pixels = swapped_.data();
        stride = source.width * 4;
    }
    const int width = destination.width();
    const int height = destination.height();
    if (source.width != width || source.height != height) {
        scaled_.resize(static_cast<size_t>(width) * height * 4);
        scaler_.scale(pixels, stride, source.width, source.height, scaled_.data(), width * 4, width, height);
        pixels = scaled_.data();
        stride = width * 4;
    }
    const platform::PixelBuffer::Plane& first = destination.plane(0);
    if (destination.pixelFormat() == platform::kPixelFormat420v) {
        const platform::PixelBuffer::Plane& chroma = destination.plane(1);
        convertBGRAToNV12BT709(pixels, stride, width, height, first.data, first.stride, chroma.data, chroma.stride);
    } else {
        copyBGRXToOpaqueBGRA(pixels, stride, first.data, first.stride, width, height);
    }
}

bool FrameFitter::fitChangedRows(const SourcePicture& source, const platform::PixelBuffer& previous, int firstRow,
                                 int rowCount, platform::PixelBuffer& destination) {
    const int width = destination.width();
    const int height = destination.height();
    if (!source.pixels || source.order != ChannelOrder::bgr || source.width != width || source.height != height ||
        destination.pixelFormat() != platform::kPixelFormat420v || previous.pixelFormat() != destination.pixelFormat() ||
        previous.width() != width || previous.height() != height || rowCount <= 0) {
        return false;
    }
    // Copying the rest costs about a quarter of converting it: a band of most rows gains nothing.
    if (static_cast<int64_t>(rowCount) * 4 > static_cast<int64_t>(height) * 3) return false;
    for (size_t index = 0; index < destination.planeCount(); ++index) {
        const platform::PixelBuffer::Plane& from = previous.plane(index);
        const platform::PixelBuffer::Plane& to = destination.plane(index);
        const auto rowBytes = static_cast<size_t>(std::min(from.stride, to.stride));
        for (int row = 0; row < to.height; ++row) {
            std::memcpy(to.data + static_cast<ptrdiff_t>(row) * to.stride,
                        from.data + static_cast<ptrdiff_t>(row) * from.stride, rowBytes);
        }
    }
    const platform::PixelBuffer::Plane& luma = destination.plane(0);
    const platform::PixelBuffer::Plane& chroma = destination.plane(1);
    convertBGRAToNV12BT709Rows(source.pixels, source.stride, width, height, luma.data, luma.stride, chroma.data,
                               chroma.stride, firstRow & ~1, rowCount + (firstRow & 1));
    return true;
}

}  // namespace recorder::linux_backend
