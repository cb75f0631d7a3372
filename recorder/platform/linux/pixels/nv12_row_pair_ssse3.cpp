// SSSE3 row-pair converter: 16 pixels per step. Bit-identical to the scalar reference.
#include <immintrin.h>

#include "recorder/platform/linux/pixels/bt709_coefficients.hpp"
#include "recorder/platform/linux/pixels/nv12_row_pair.hpp"

#pragma GCC push_options
#pragma GCC target("ssse3")

namespace recorder::linux_backend {
namespace {

constexpr int kStep = 16;  // pixels per iteration: one 16-byte store of luma or chroma

// Two 16-bit coefficients per 32-bit lane, the low one applying to the first word of a pair.
inline __m128i wordPair(int low, int high) {
    return _mm_set1_epi32(
        static_cast<int>((static_cast<uint32_t>(high) << 16) | (static_cast<uint32_t>(low) & 0xffffu)));
}

struct LumaConstants {
    // Declared so that it is compiled with this file's instruction set.
    LumaConstants() {}
    // Four BGRA pixels -> words (B, G) per pixel, and (R, 0) per pixel.
    __m128i blueGreen = _mm_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
    __m128i red = _mm_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
    __m128i coefBlueGreen = wordPair(bt709::kYFromB, bt709::kYFromG);
    __m128i coefRed = wordPair(bt709::kYFromR, 0);
    __m128i bias = _mm_set1_epi32(bt709::kYBias);
};

inline __m128i lumaOfFour(const uint8_t* bgra, const LumaConstants& k) {
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgra));
    const __m128i bg = _mm_madd_epi16(_mm_shuffle_epi8(pixels, k.blueGreen), k.coefBlueGreen);
    const __m128i r = _mm_madd_epi16(_mm_shuffle_epi8(pixels, k.red), k.coefRed);
    return _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(bg, r), k.bias), bt709::kYShift);
}

inline void lumaOfSixteen(const uint8_t* bgra, uint8_t* y, const LumaConstants& k) {
    const __m128i low = _mm_packs_epi32(lumaOfFour(bgra, k), lumaOfFour(bgra + 16, k));
    const __m128i high = _mm_packs_epi32(lumaOfFour(bgra + 32, k), lumaOfFour(bgra + 48, k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y), _mm_packus_epi16(low, high));
}

struct ChromaConstants {
    // Declared so that it is compiled with this file's instruction set.
    ChromaConstants() {}
    // Four BGRA pixels -> bytes grouped by channel in horizontal pairs, so that one
    // multiply-add by ones sums each pair: (B0 B1 G0 G1 R0 R1 A0 A1)(B2 B3 ...).
    __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    __m128i ones = _mm_set1_epi8(1);
    // Applied to a block's sums (B G R A) repeated twice: Cb from the first copy, Cr from the second.
    __m128i coef = _mm_setr_epi16(bt709::kCbFromB, bt709::kCbFromG, bt709::kCbFromR, 0, bt709::kCrFromB,
                                  bt709::kCrFromG, bt709::kCrFromR, 0);
    __m128i bias = _mm_set1_epi32(bt709::kCBias);
};

// Sums of the 2x2 blocks under four columns: words (B G R A) for two blocks.
inline __m128i blockSums(const uint8_t* top, const uint8_t* bottom, const ChromaConstants& k) {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom));
    return _mm_add_epi16(_mm_maddubs_epi16(_mm_shuffle_epi8(t, k.pairs), k.ones),
                         _mm_maddubs_epi16(_mm_shuffle_epi8(b, k.pairs), k.ones));
}

// (Cb0 Cr0 Cb1 Cr1) as 32-bit values for the two blocks of `sums`.
inline __m128i chromaOfTwoBlocks(__m128i sums, const ChromaConstants& k) {
    const __m128i first = _mm_madd_epi16(_mm_unpacklo_epi64(sums, sums), k.coef);
    const __m128i second = _mm_madd_epi16(_mm_unpackhi_epi64(sums, sums), k.coef);
    return _mm_srai_epi32(_mm_add_epi32(_mm_hadd_epi32(first, second), k.bias), bt709::kCShift);
}

inline void chromaOfSixteen(const uint8_t* top, const uint8_t* bottom, uint8_t* uv, const ChromaConstants& k) {
    __m128i words[2];
    for (int half = 0; half < 2; ++half) {
        const int offset = half * 32;
        const __m128i a = chromaOfTwoBlocks(blockSums(top + offset, bottom + offset, k), k);
        const __m128i b = chromaOfTwoBlocks(blockSums(top + offset + 16, bottom + offset + 16, k), k);
        words[half] = _mm_packs_epi32(a, b);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv), _mm_packus_epi16(words[0], words[1]));
}

}  // namespace

void convertRowPairSSSE3(const RowPair& rows) {
    const LumaConstants luma;
    const ChromaConstants chroma;
    const int vectorWidth = rows.width / kStep * kStep;
    for (int col = 0; col < vectorWidth; col += kStep) {
        const long offset = static_cast<long>(col) * 4;
        lumaOfSixteen(rows.top + offset, rows.yTop + col, luma);
        if (rows.yBottom) lumaOfSixteen(rows.bottom + offset, rows.yBottom + col, luma);
        chromaOfSixteen(rows.top + offset, rows.bottom + offset, rows.uv + col, chroma);
    }
    if (vectorWidth < rows.width) convertRowPairScalar(rows, vectorWidth);
}

}  // namespace recorder::linux_backend

#pragma GCC pop_options
