#include "recorder/platform/linux/pixels/bt709_coefficients.hpp"
#include "recorder/platform/linux/pixels/nv12_row_pair.hpp"

namespace recorder::linux_backend {
namespace {

inline uint8_t clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

inline uint8_t lumaOf(const uint8_t* pixel) {
    return clamp8((bt709::kYFromB * pixel[0] + bt709::kYFromG * pixel[1] + bt709::kYFromR * pixel[2] + bt709::kYBias) >>
                  bt709::kYShift);
}

void lumaRow(const uint8_t* bgra, uint8_t* y, int firstColumn, int width) {
    for (int col = firstColumn; col < width; ++col) y[col] = lumaOf(bgra + col * 4);
}

}  // namespace

void convertRowPairScalar(const RowPair& rows, int firstColumn) {
    lumaRow(rows.top, rows.yTop, firstColumn, rows.width);
    if (rows.yBottom) lumaRow(rows.bottom, rows.yBottom, firstColumn, rows.width);

    for (int col = firstColumn; col < rows.width; col += 2) {
        const int left = col * 4;
        // An odd width repeats the last column, so the edge block averages what exists.
        const int right = col + 1 < rows.width ? left + 4 : left;
        const uint8_t* t = rows.top;
        const uint8_t* b = rows.bottom;
        const int blue = t[left] + t[right] + b[left] + b[right];
        const int green = t[left + 1] + t[right + 1] + b[left + 1] + b[right + 1];
        const int red = t[left + 2] + t[right + 2] + b[left + 2] + b[right + 2];
        rows.uv[col] =
            clamp8((bt709::kCbFromB * blue + bt709::kCbFromG * green + bt709::kCbFromR * red + bt709::kCBias) >>
                   bt709::kCShift);
        rows.uv[col + 1] =
            clamp8((bt709::kCrFromB * blue + bt709::kCrFromG * green + bt709::kCrFromR * red + bt709::kCBias) >>
                   bt709::kCShift);
    }
}

}  // namespace recorder::linux_backend
