#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace recorder::linux_backend {

// Bilinear BGRA scaling with pixel centres aligned, in two passes per output row: libyuv blends
// the two source rows (exactly: weights that sum to one), then our own SSSE3 filter resamples
// the blended row horizontally with 6-bit positions whose two weights also sum to one.
// libyuv's own interleaved ARGB scaler is not used: its horizontal taps weigh 127/128 in total,
// which darkens every filtered pixel by up to two levels (white comes out 253). Its per-plane
// scaler is exact but about five times slower here.
// Shrinking by more than half per axis skips source pixels (no box average); a recording only
// gets there when its window grows to more than twice its starting size.
class BgraBilinearScaler {
public:
    void scale(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight, uint8_t* destination,
               int destinationStride, int destinationWidth, int destinationHeight);

private:
    void prepareColumns(int sourceWidth, int destinationWidth);

    // Reused from frame to frame so that a frame costs no allocation; guarded because the
    // context may be shared.
    std::mutex mutex_;
    std::vector<uint8_t> blendedRow_;     // one source row after the vertical pass, one pixel of slack
    std::vector<int32_t> columnSources_;  // per output column: its left source pixel
    std::vector<uint8_t> columnWeights_;  // per output column: (64 - f, f) for each of the four channels
};

}  // namespace recorder::linux_backend
