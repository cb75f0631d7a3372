#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"

namespace recorder::linux_backend {
namespace {

// BT.709 video range, 8-bit, coefficients scaled by 2^16.
// Y  =  16 + 0.1826 R + 0.6142 G + 0.0620 B
// Cb = 128 - 0.1006 R - 0.3386 G + 0.4392 B
// Cr = 128 + 0.4392 R - 0.3989 G - 0.0403 B
constexpr int kYR = 11966, kYG = 40254, kYB = 4064;
constexpr int kUR = -6596, kUG = -22189, kUB = 28784;
constexpr int kVR = 28784, kVG = -26145, kVB = -2639;

inline uint8_t clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

void convertBGRAToNV12BT709(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* yPlane,
                            int yStride, uint8_t* uvPlane, int uvStride) {
    for (int row = 0; row < height; ++row) {
        const uint8_t* src = bgra + static_cast<long>(row) * bgraStride;
        uint8_t* dst = yPlane + static_cast<long>(row) * yStride;
        for (int col = 0; col < width; ++col) {
            const int b = src[col * 4], g = src[col * 4 + 1], r = src[col * 4 + 2];
            dst[col] = clamp8(16 + ((kYR * r + kYG * g + kYB * b + 32768) >> 16));
        }
    }
    for (int row = 0; row < (height + 1) / 2; ++row) {
        const uint8_t* top = bgra + static_cast<long>(row * 2) * bgraStride;
        const uint8_t* bottom = (row * 2 + 1 < height) ? top + bgraStride : top;
        uint8_t* dst = uvPlane + static_cast<long>(row) * uvStride;
        for (int col = 0; col < (width + 1) / 2; ++col) {
            const int left = col * 2 * 4;
            const int right = (col * 2 + 1 < width) ? left + 4 : left;
            const int b = top[left] + top[right] + bottom[left] + bottom[right];
            const int g = top[left + 1] + top[right + 1] + bottom[left + 1] + bottom[right + 1];
            const int r = top[left + 2] + top[right + 2] + bottom[left + 2] + bottom[right + 2];
            // Sums of four pixels: divide by 4 inside the rounding shift.
            dst[col * 2] = clamp8(128 + ((kUR * r + kUG * g + kUB * b + (1 << 17)) >> 18));
            dst[col * 2 + 1] = clamp8(128 + ((kVR * r + kVG * g + kVB * b + (1 << 17)) >> 18));
        }
    }
}

}  // namespace recorder::linux_backend
