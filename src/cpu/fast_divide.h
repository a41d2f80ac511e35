// Division of 64-bit numbers by a fixed divisor d >= 2 with one multiply,
// a subtraction and two shifts instead of a division instruction.
//
// With l = ceil(log2 d), multiplier m = floor(2^64 (2^l - d) / d) + 1 and
// t = high 64 bits of m * n:
//     floor(n / d) = (t + ((n - t) >> 1)) >> (l - 1)     for every 64-bit n.
// The halving keeps t + (n - t) / 2 within 64 bits although m * n / 2^64 + n
// need not be. Everything is built from 32-bit halves so that 32-bit targets
// compile the same code; 128-bit integers are only a shortcut where present.
#pragma once

#include <cstdint>

namespace qx {

struct FastDivisor64 {
  uint64_t multiplier;
  uint8_t shift1;  // always 1
  uint8_t shift2;  // ceil(log2 d) - 1
};

// High 64 bits of a * b from four 32 x 32-bit products.
inline uint64_t multiply_high_u64_portable(uint64_t a, uint64_t b) {
  const uint64_t a_lo = a & 0xffffffffu, a_hi = a >> 32;
  const uint64_t b_lo = b & 0xffffffffu, b_hi = b >> 32;
  const uint64_t lo_lo = a_lo * b_lo;
  const uint64_t hi_lo = a_hi * b_lo;
  const uint64_t lo_hi = a_lo * b_hi;
  // Middle column plus the carry out of the low column; fits in 64 bits.
  const uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xffffffffu) + lo_hi;
  return a_hi * b_hi + (hi_lo >> 32) + (middle >> 32);
}

inline uint64_t multiply_high_u64(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 u128;
  return static_cast<uint64_t>((static_cast<u128>(a) * b) >> 64);
#else
  return multiply_high_u64_portable(a, b);
#endif
}

// floor((high * 2^64 + low) / d) for d != 0 and high < d (the quotient then
// fits in 64 bits). Schoolbook division in base 2^32 with a normalised
// divisor, each quotient digit estimated from the top two digits and
// corrected at most twice (Knuth, algorithm D).
inline uint64_t divide_128_by_64(uint64_t high, uint64_t low, uint64_t d) {
  const uint64_t base = uint64_t{1} << 32;
  int shift = 0;
  while (!(d & (uint64_t{1} << 63))) {
    d <<= 1;
    ++shift;
  }
  const uint64_t d_hi = d >> 32, d_lo = d & 0xffffffffu;
  const uint64_t top = shift == 0 ? high : (high << shift) | (low >> (64 - shift));
  const uint64_t rest = low << shift;
  const uint64_t digits[2] = {rest >> 32, rest & 0xffffffffu};

  uint64_t remainder = top;  // always below d
  uint64_t quotient = 0;
  for (uint64_t digit : digits) {
    uint64_t q = remainder / d_hi;
    uint64_t r = remainder - q * d_hi;
    while (q >= base || q * d_lo > base * r + digit) {
      --q;
      r += d_hi;
      if (r >= base) break;
    }
    // The true value is below d, so the wrap-around arithmetic is exact.
    remainder = remainder * base + digit - q * d;
    quotient = quotient * base + q;
  }
  return quotient;
}

// Constants for dividing by d (d >= 2).
inline FastDivisor64 fast_divisor_make(uint64_t d) {
  uint8_t log2_ceil = 0;
  while (log2_ceil < 64 && (uint64_t{1} << log2_ceil) < d) ++log2_ceil;
  // 2^l - d, computed mod 2^64 so that l = 64 needs no special case.
  const uint64_t excess = (log2_ceil == 64 ? 0 : uint64_t{1} << log2_ceil) - d;
  FastDivisor64 divisor;
  divisor.multiplier = divide_128_by_64(excess, 0, d) + 1;
  divisor.shift1 = 1;
  divisor.shift2 = static_cast<uint8_t>(log2_ceil - 1);
  return divisor;
}

inline uint64_t fast_divide(uint64_t n, FastDivisor64 divisor) {
  const uint64_t t = multiply_high_u64(divisor.multiplier, n);
  return (t + ((n - t) >> divisor.shift1)) >> divisor.shift2;
}

// The same scheme on 32-bit words, for dividing by the thread count where
// the machine word is 32 bits: m = floor(2^32 (2^l - d) / d) + 1 and t = the
// high 32 bits of m * n. 2^l - d < d, so m fits in 32 bits.
struct FastDivisor32 {
  uint32_t multiplier;
  uint8_t shift1;  // always 1
  uint8_t shift2;  // ceil(log2 d) - 1
};

inline FastDivisor32 fast_divisor32_make(uint32_t d) {
  uint8_t log2_ceil = 0;
  while (log2_ceil < 32 && (uint64_t{1} << log2_ceil) < d) ++log2_ceil;
  const uint64_t excess = (uint64_t{1} << log2_ceil) - d;
  FastDivisor32 divisor;
  divisor.multiplier = static_cast<uint32_t>((excess << 32) / d + 1);
  divisor.shift1 = 1;
  divisor.shift2 = static_cast<uint8_t>(log2_ceil - 1);
  return divisor;
}

inline uint32_t fast_divide32(uint32_t n, FastDivisor32 divisor) {
  const auto t = static_cast<uint32_t>((uint64_t{divisor.multiplier} * n) >> 32);
  return (t + ((n - t) >> divisor.shift1)) >> divisor.shift2;
}

// Division by a small divisor (a thread count) with constants of the
// machine word: 64-bit where it is 64 bits, else 32-bit, with a plain
// division for the numerators beyond 32 bits that such a machine's item
// counts never reach.
#if UINTPTR_MAX > UINT32_MAX
using WordDivisor = FastDivisor64;
inline WordDivisor word_divisor_make(uint32_t d) { return fast_divisor_make(d); }
inline uint64_t word_divide(uint64_t n, uint32_t, WordDivisor divisor) {
  return fast_divide(n, divisor);
}
#else
using WordDivisor = FastDivisor32;
inline WordDivisor word_divisor_make(uint32_t d) { return fast_divisor32_make(d); }
inline uint64_t word_divide(uint64_t n, uint32_t d, WordDivisor divisor) {
  if (n > UINT32_MAX) return n / d;
  return fast_divide32(static_cast<uint32_t>(n), divisor);
}
#endif

}  // namespace qx
