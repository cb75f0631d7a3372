// AVX2 row-pair converter: 32 pixels per step. Bit-identical to the scalar reference.
// The 256-bit shuffles, multiply-adds and packs work within 128-bit lanes; one cross-lane
// permutation per store puts the results back in pixel order.
#include <immintrin.h>

#include "recorder/platform/linux/pixels/bt709_coefficients.hpp"
#include "recorder/platform/linux/pixels/nv12_row_pair.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace recorder::linux_backend {
namespace {

constexpr int kStep = 32;  // pixels per iteration: one 32-byte store of luma or chroma

inline __m256i wordPair(int low, int high) {
    return _mm256_set1_epi32(
        static_cast<int>((static_cast<uint32_t>(high) << 16) | (static_cast<uint32_t>(low) & 0xffffu)));
}

// After two rounds of in-lane packing, the 32-bit groups sit in the order 0 2 4 6 | 1 3 5 7.
inline __m256i restoreOrder(__m256i packed) {
    return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

struct LumaConstants {
    // Declared so that it is compiled with this file's instruction set.
    LumaConstants() {}
    __m256i blueGreen = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,  //
                                         0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
    __m256i red = _mm256_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1,  //
                                   2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
    __m256i coefBlueGreen = wordPair(bt709::kYFromB, bt709::kYFromG);
    __m256i coefRed = wordPair(bt709::kYFromR, 0);
    __m256i bias = _mm256_set1_epi32(bt709::kYBias);
};

inline __m256i lumaOfEight(const uint8_t* bgra, const LumaConstants& k) {
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra));
    const __m256i bg = _mm256_madd_epi16(_mm256_shuffle_epi8(pixels, k.blueGreen), k.coefBlueGreen);
    const __m256i r = _mm256_madd_epi16(_mm256_shuffle_epi8(pixels, k.red), k.coefRed);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(bg, r), k.bias), bt709::kYShift);
}

inline void lumaOfThirtyTwo(const uint8_t* bgra, uint8_t* y, const LumaConstants& k) {
    const __m256i low = _mm256_packs_epi32(lumaOfEight(bgra, k), lumaOfEight(bgra + 32, k));
    const __m256i high = _mm256_packs_epi32(lumaOfEight(bgra + 64, k), lumaOfEight(bgra + 96, k));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y), restoreOrder(_mm256_packus_epi16(low, high)));
}

struct ChromaConstants {
    // Declared so that it is compiled with this file's instruction set.
    ChromaConstants() {}
    __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                     0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    __m256i ones = _mm256_set1_epi8(1);
    __m256i coef = _mm256_setr_epi16(
        bt709::kCbFromB, bt709::kCbFromG, bt709::kCbFromR, 0, bt709::kCrFromB, bt709::kCrFromG, bt709::kCrFromR, 0,  //
        bt709::kCbFromB, bt709::kCbFromG, bt709::kCbFromR, 0, bt709::kCrFromB, bt709::kCrFromG, bt709::kCrFromR, 0);
    __m256i bias = _mm256_set1_epi32(bt709::kCBias);
};

// Words (B G R A) of the 2x2 block sums under eight columns: blocks 0 1 | 2 3.
inline __m256i blockSums(const uint8_t* top, const uint8_t* bottom, const ChromaConstants& k) {
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom));
    return _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_shuffle_epi8(t, k.pairs), k.ones),
                            _mm256_maddubs_epi16(_mm256_shuffle_epi8(b, k.pairs), k.ones));
}

// (Cb Cr) as 32-bit values for the four blocks of `sums`, in block order.
inline __m256i chromaOfFourBlocks(__m256i sums, const ChromaConstants& k) {
    const __m256i even = _mm256_madd_epi16(_mm256_unpacklo_epi64(sums, sums), k.coef);
    const __m256i odd = _mm256_madd_epi16(_mm256_unpackhi_epi64(sums, sums), k.coef);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(even, odd), k.bias), bt709::kCShift);
}

inline void chromaOfThirtyTwo(const uint8_t* top, const uint8_t* bottom, uint8_t* uv, const ChromaConstants& k) {
    __m256i words[2];
    for (int half = 0; half < 2; ++half) {
        const int offset = half * 64;
        const __m256i a = chromaOfFourBlocks(blockSums(top + offset, bottom + offset, k), k);
        const __m256i b = chromaOfFourBlocks(blockSums(top + offset + 32, bottom + offset + 32, k), k);
        words[half] = _mm256_packs_epi32(a, b);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv), restoreOrder(_mm256_packus_epi16(words[0], words[1])));
}

}  // namespace

void convertRowPairAVX2(const RowPair& rows) {
    const LumaConstants luma;
    const ChromaConstants chroma;
    const int vectorWidth = rows.width / kStep * kStep;
    for (int col = 0; col < vectorWidth; col += kStep) {
        const long offset = static_cast<long>(col) * 4;
        lumaOfThirtyTwo(rows.top + offset, rows.yTop + col, luma);
        if (rows.yBottom) lumaOfThirtyTwo(rows.bottom + offset, rows.yBottom + col, luma);
        chromaOfThirtyTwo(rows.top + offset, rows.bottom + offset, rows.uv + col, chroma);
    }
    // A remainder of 16 or more columns still goes through SSSE3 rather than the scalar loop.
    if (vectorWidth < rows.width) {
        if (rows.width - vectorWidth >= 16) {
            RowPair rest = rows;
            const long offset = static_cast<long>(vectorWidth) * 4;
            rest.top += offset;
            rest.bottom += offset;
            rest.yTop += vectorWidth;
            if (rest.yBottom) rest.yBottom += vectorWidth;
            rest.uv += vectorWidth;
            rest.width = rows.width - vectorWidth;
            convertRowPairSSSE3(rest);
        } else {
            convertRowPairScalar(rows, vectorWidth);
        }
    }
}

}  // namespace recorder::linux_backend

#pragma GCC pop_options
