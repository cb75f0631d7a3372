#include "recorder/platform/linux/pixels/frame_fitting.hpp"

#include <libyuv/convert_argb.h>

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

}  // namespace recorder::linux_backend
