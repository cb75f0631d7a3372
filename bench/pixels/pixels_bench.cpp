// Prints the time per frame of the pixel work a recording does at 60 fps: BGRA to NV12 and the
// window crop. Each figure is the median of many runs on one thread; the alternatives are timed
// side by side in the same run because these shared machines vary by 15 to 25 % over an hour.
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"
#include "recorder/platform/linux/pixels/crop_scale_image_context.hpp"
#include "recorder/platform/linux/pixels/nv12_kernels.hpp"
#include "recorder/platform/pixel_buffer.hpp"

namespace {

using recorder::platform::kPixelFormat420v;
using recorder::platform::kPixelFormatBGRA;
using recorder::platform::PixelBuffer;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

double medianMilliseconds(int runs, const std::function<void()>& work) {
    work();  // warm the caches and any lazily built tables
    std::vector<double> times;
    times.reserve(runs);
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[runs / 2];
}

void report(const std::string& what, double milliseconds) {
    std::printf("%-62s %7.3f ms/frame  (%5.1f %% of a core at 60 fps)\n", what.c_str(), milliseconds,
                milliseconds * 60 / 10);
}

// A desktop-like picture: smooth gradients with text-like noise, so nothing is trivially compressible.
std::shared_ptr<PixelBuffer> testPicture() {
    auto picture = PixelBuffer::allocate(kPixelFormatBGRA, kWidth, kHeight);
    std::mt19937 random(42);
    const auto& plane = picture->plane(0);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = plane.data + static_cast<long>(y) * plane.stride;
        for (int x = 0; x < kWidth; ++x) {
            const bool ink = (random() & 15) == 0;
            row[x * 4] = ink ? 20 : static_cast<uint8_t>(x * 255 / kWidth);
            row[x * 4 + 1] = ink ? 20 : static_cast<uint8_t>(y * 255 / kHeight);
            row[x * 4 + 2] = ink ? 20 : static_cast<uint8_t>(128 + 100 * std::sin(x * 0.01));
            row[x * 4 + 3] = 255;
        }
    }
    return picture;
}

struct SwsDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using SwsPointer = std::unique_ptr<SwsContext, SwsDeleter>;

void benchNV12(const PixelBuffer& source) {
    using namespace recorder::linux_backend;
    auto nv12 = PixelBuffer::allocate(kPixelFormat420v, kWidth, kHeight);
    const auto& bgra = source.plane(0);
    const auto& y = nv12->plane(0);
    const auto& uv = nv12->plane(1);
    std::printf("BGRA to NV12, %dx%d (best kernel here: %s)\n", kWidth, kHeight,
                std::string(nv12KernelName(bestNv12Kernel())).c_str());
    for (Nv12Kernel kernel : {Nv12Kernel::scalar, Nv12Kernel::ssse3, Nv12Kernel::avx2}) {
        if (!nv12KernelAvailable(kernel)) continue;
        report("  ours, BT.709, " + std::string(nv12KernelName(kernel)), medianMilliseconds(200, [&] {
                   convertBGRAToNV12BT709RowsWith(kernel, bgra.data, bgra.stride, kWidth, kHeight, y.data, y.stride,
                                                  uv.data, uv.stride, 0, kHeight);
               }));
    }
    report("  ours, BT.709, a band of 120 changed rows", medianMilliseconds(500, [&] {
               convertBGRAToNV12BT709Rows(bgra.data, bgra.stride, kWidth, kHeight, y.data, y.stride, uv.data, uv.stride,
                                          480, 120);
           }));

    SwsPointer sws(sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGRA, kWidth, kHeight, AV_PIX_FMT_NV12, SWS_BILINEAR,
                                  nullptr, nullptr, nullptr));
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    report("  libswscale, BT.709", medianMilliseconds(100, [&] {
               const uint8_t* in[] = {bgra.data};
               const int inStride[] = {bgra.stride};
               uint8_t* out[] = {y.data, uv.data};
               const int outStride[] = {y.stride, uv.stride};
               sws_scale(sws.get(), in, inStride, 0, kHeight, out, outStride);
           }));
    report("  libyuv ARGBToNV12 (BT.601 only: for comparison)", medianMilliseconds(200, [&] {
               libyuv::ARGBToNV12(bgra.data, bgra.stride, y.data, y.stride, uv.data, uv.stride, kWidth, kHeight);
           }));
}

struct CropCase {
    const char* name;
    int left, top, width, height;  // first row at the top
    int destinationWidth, destinationHeight;
};

void benchCrop(const PixelBuffer& source) {
    const CropCase cases[] = {
        {"1280x720 region at scale 1", 320, 180, 1280, 720, 1280, 720},
        {"1000x600 region stretched into 800x600", 460, 240, 1000, 600, 800, 600},
        {"the whole 1920x1080 shrunk into 1280x720", 0, 0, 1920, 1080, 1280, 720},
    };
    auto context = recorder::linux_backend::makeCropScaleImageContext();
    const auto& from = source.plane(0);
    for (const CropCase& c : cases) {
        std::printf("Crop from %dx%d: %s\n", kWidth, kHeight, c.name);
        auto destination = PixelBuffer::allocate(kPixelFormatBGRA, c.destinationWidth, c.destinationHeight);
        const auto& to = destination->plane(0);
        const recorder::platform::ImageRect crop{double(c.left), double(kHeight - c.top - c.height), double(c.width),
                                                 double(c.height)};
        report("  ours (renderCrop)",
               medianMilliseconds(300, [&] { context->renderCrop(source, crop, *destination); }));

        const uint8_t* origin = from.data + static_cast<long>(c.top) * from.stride + static_cast<long>(c.left) * 4;
        for (auto [filter, filterName] :
             {std::pair{libyuv::kFilterBilinear, "bilinear"}, std::pair{libyuv::kFilterBox, "box"}}) {
            report(std::string("  libyuv ARGBScale, ") + filterName, medianMilliseconds(300, [&] {
                       libyuv::ARGBScale(origin, from.stride, c.width, c.height, to.data, to.stride, c.destinationWidth,
                                         c.destinationHeight, filter);
                   }));
        }
        for (auto [flags, flagsName] : {std::pair{SWS_BILINEAR, "bilinear"},
                                        std::pair{SWS_FAST_BILINEAR, "fast bilinear"}, std::pair{SWS_AREA, "area"}}) {
            SwsPointer sws(sws_getContext(c.width, c.height, AV_PIX_FMT_BGRA, c.destinationWidth, c.destinationHeight,
                                          AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr));
            report(std::string("  libswscale, ") + flagsName, medianMilliseconds(100, [&] {
                       const uint8_t* in[] = {origin};
                       const int inStride[] = {from.stride};
                       uint8_t* out[] = {to.data};
                       const int outStride[] = {to.stride};
                       sws_scale(sws.get(), in, inStride, 0, c.height, out, outStride);
                   }));
        }
    }
}

}  // namespace

int main() {
    const auto source = testPicture();
    benchNV12(*source);
    benchCrop(*source);
    return 0;
}
