#include "recorder/platform/linux/pixels/bgra_bilinear_scaler.hpp"

#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstring>

#if defined(AGENTS_PIXELS_X86)
#include <immintrin.h>
#endif

namespace recorder::linux_backend {
namespace {

constexpr int kBytesPerPixel = 4;
constexpr int kWeightBits = 6;  // two weights up to 64 each fit the signed bytes of a multiply-add
constexpr int kWeightOne = 1 << kWeightBits;

// Source position (16.16 fixed point) of output pixel `index`'s centre, clamped to the first pixel.
int64_t sourcePosition(int index, int sourceSize, int destinationSize) {
    const int64_t step = (static_cast<int64_t>(sourceSize) << 16) / destinationSize;
    return std::max<int64_t>(0, step / 2 - (1 << 15) + index * step);
}

void filterColumnsScalar(const uint8_t* row, const int32_t* sources, const uint8_t* weights, uint8_t* out,
                         int firstColumn, int columns) {
    for (int x = firstColumn; x < columns; ++x) {
        const uint8_t* a = row + sources[x] * kBytesPerPixel;
        const int right = weights[x * 8 + 1];
        const int left = kWeightOne - right;
        for (int c = 0; c < kBytesPerPixel; ++c) {
            out[x * kBytesPerPixel + c] =
                static_cast<uint8_t>((a[c] * left + a[c + kBytesPerPixel] * right + kWeightOne / 2) >> kWeightBits);
        }
    }
}

#if defined(AGENTS_PIXELS_X86)
// Output pixels x and x + 1 as 16-bit channel values.
__attribute__((target("ssse3"))) inline __m128i filterTwoSSSE3(const uint8_t* row, const int32_t* sources,
                                                               const uint8_t* weights, int x) {
    // Two neighbouring source pixels -> (a, b) byte pairs per channel, for one multiply-add.
    const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + sources[x] * kBytesPerPixel));
    const __m128i second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + sources[x + 1] * kBytesPerPixel));
    const __m128i taps = _mm_shuffle_epi8(_mm_unpacklo_epi64(first, second), pairs);
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + x * 8));
    return _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(taps, w), _mm_set1_epi16(kWeightOne / 2)), kWeightBits);
}

__attribute__((target("ssse3"))) void filterColumnsSSSE3(const uint8_t* row, const int32_t* sources,
                                                         const uint8_t* weights, uint8_t* out, int columns) {
    const int vectorColumns = columns / 4 * 4;
    for (int x = 0; x < vectorColumns; x += 4) {
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + x * kBytesPerPixel),
            _mm_packus_epi16(filterTwoSSSE3(row, sources, weights, x), filterTwoSSSE3(row, sources, weights, x + 2)));
    }
    filterColumnsScalar(row, sources, weights, out, vectorColumns, columns);
}
#endif

void filterColumns(const uint8_t* row, const int32_t* sources, const uint8_t* weights, uint8_t* out, int columns) {
#if defined(AGENTS_PIXELS_X86)
    if (__builtin_cpu_supports("ssse3")) return filterColumnsSSSE3(row, sources, weights, out, columns);
#endif
    filterColumnsScalar(row, sources, weights, out, 0, columns);
}

}  // namespace

void BgraBilinearScaler::prepareColumns(int sourceWidth, int destinationWidth) {
    columnSources_.resize(destinationWidth);
    columnWeights_.resize(static_cast<size_t>(destinationWidth) * 8);
    for (int x = 0; x < destinationWidth; ++x) {
        const int64_t position = sourcePosition(x, sourceWidth, destinationWidth);
        int left = static_cast<int>(position >> 16);
        int fraction = static_cast<int>((position & 0xffff) >> (16 - kWeightBits));
        if (left >= sourceWidth - 1) left = sourceWidth - 1, fraction = 0;
        columnSources_[x] = left;
        for (int c = 0; c < kBytesPerPixel; ++c) {
            columnWeights_[x * 8 + c * 2] = static_cast<uint8_t>(kWeightOne - fraction);
            columnWeights_[x * 8 + c * 2 + 1] = static_cast<uint8_t>(fraction);
        }
    }
}

void BgraBilinearScaler::scale(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                               uint8_t* destination, int destinationStride, int destinationWidth,
                               int destinationHeight) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || destinationWidth <= 0 || destinationHeight <= 0) return;
    std::lock_guard lock(mutex_);
    prepareColumns(sourceWidth, destinationWidth);
    // The filter always loads a pixel's right neighbour, with weight 0 at the last column: the
    // slack pixel keeps that load inside the row buffer.
    const size_t rowBytes = static_cast<size_t>(sourceWidth) * kBytesPerPixel;
    blendedRow_.resize(rowBytes + kBytesPerPixel);

    for (int y = 0; y < destinationHeight; ++y) {
        const int64_t position = sourcePosition(y, sourceHeight, destinationHeight);
        int top = static_cast<int>(position >> 16);
        int fraction = static_cast<int>((position & 0xffff) >> 8);  // libyuv takes 0..255
        if (top >= sourceHeight - 1) top = sourceHeight - 1, fraction = 0;
        const uint8_t* upper = source + static_cast<long>(top) * sourceStride;
        const uint8_t* lower = fraction == 0 ? upper : upper + sourceStride;
        libyuv::ARGBInterpolate(upper, sourceStride, lower, sourceStride, blendedRow_.data(),
                                static_cast<int>(rowBytes), sourceWidth, 1, fraction);
        std::memcpy(blendedRow_.data() + rowBytes, blendedRow_.data() + rowBytes - kBytesPerPixel, kBytesPerPixel);
        filterColumns(blendedRow_.data(), columnSources_.data(), columnWeights_.data(),
                      destination + static_cast<long>(y) * destinationStride, destinationWidth);
    }
}

}  // namespace recorder::linux_backend
