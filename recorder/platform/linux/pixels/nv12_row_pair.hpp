#pragma once

#include <cstdint>

// The converters work on one pair of source rows at a time: that pair gives two luma rows and
// the one chroma row between them, and is still in the L1 cache when its chroma is computed.
namespace recorder::linux_backend {

struct RowPair {
    const uint8_t* top = nullptr;     // BGRA
    const uint8_t* bottom = nullptr;  // BGRA; equals `top` for the last row of an odd height
    uint8_t* yTop = nullptr;
    uint8_t* yBottom = nullptr;  // null when there is no second row to write
    uint8_t* uv = nullptr;       // interleaved Cb, Cr
    int width = 0;
};

// Converts columns [firstColumn, width) of a row pair; `firstColumn` is even. The SIMD kernels
// call it for the columns left over after their last full vector.
void convertRowPairScalar(const RowPair& rows, int firstColumn);

#if defined(AGENTS_PIXELS_X86)
void convertRowPairSSSE3(const RowPair& rows);
void convertRowPairAVX2(const RowPair& rows);
#endif

}  // namespace recorder::linux_backend
