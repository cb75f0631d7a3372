#pragma once

#include <cstdint>

// BT.709 in video range (Y 16..235, Cb/Cr 16..240) as fixed-point integers. Every converter
// (scalar and SIMD) uses exactly these numbers and the same rounding, so their outputs are
// bit-identical and the scalar code serves as the reference for the others.
//
// The coefficients are scaled by 2^15 so that each fits a signed 16-bit lane (the widest that
// the 16x16->32 multiply-add instructions take). Each set sums to what a grey must give:
//   Y:  5983 + 20127 + 2032 = 28142 = 219/255 * 2^15 (rounded), white -> 235, black -> 16
//   Cb: -3298 - 11094 + 14392 = 0, Cr: 14392 - 13072 - 1320 = 0, so every grey -> 128.
namespace recorder::linux_backend::bt709 {

inline constexpr int kYFromB = 2032;
inline constexpr int kYFromG = 20127;
inline constexpr int kYFromR = 5983;
inline constexpr int kYShift = 15;
// The +16 offset and the rounding half, already scaled.
inline constexpr int kYBias = (16 << kYShift) + (1 << (kYShift - 1));

inline constexpr int kCbFromB = 14392;
inline constexpr int kCbFromG = -11094;
inline constexpr int kCbFromR = -3298;
inline constexpr int kCrFromB = -1320;
inline constexpr int kCrFromG = -13072;
inline constexpr int kCrFromR = 14392;
// Chroma is computed from the sum of a 2x2 block: the extra 2 bits of shift divide by four in
// the same rounding step, so the block average is never rounded twice.
inline constexpr int kCShift = kYShift + 2;
inline constexpr int kCBias = (128 << kCShift) + (1 << (kCShift - 1));

}  // namespace recorder::linux_backend::bt709
