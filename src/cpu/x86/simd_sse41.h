// The vector vocabulary of the SSE4.1 variants: 128-bit registers. A variant
// file includes this header, then the operator's body (*_body.h), which is
// written once over this vocabulary and simd_avx2.h's, so that a fix to an
// operator lands in both widths. Only SSE4.1 variant files include it.
#pragma once

#include <cstring>

#include "cpu/x86/x86_target.h"
#include "runtime/fixed_point_tables.h"

#define QX_SIMD_TARGET QX_TARGET_SSE41
#define QX_SIMD_NAME(name) name##_sse41

namespace qx {
namespace {
namespace simd {

using I = __m128i;  // integer lanes
using F = __m128;   // float lanes
constexpr int kI32Lanes = 4;

QX_SIMD_TARGET inline I zero() { return _mm_setzero_si128(); }
QX_SIMD_TARGET inline I set1_i32(int32_t v) { return _mm_set1_epi32(v); }
QX_SIMD_TARGET inline I set1_i16(int16_t v) { return _mm_set1_epi16(v); }
QX_SIMD_TARGET inline I load(const void *p) { return _mm_loadu_si128(static_cast<const I *>(p)); }
QX_SIMD_TARGET inline void store(void *p, I v) { _mm_storeu_si128(static_cast<I *>(p), v); }
// kI32Lanes int16 or int8 values widened to 32 or 16 bits.
QX_SIMD_TARGET inline I load_i16_as_i32(const int16_t *p) {
  return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}
QX_SIMD_TARGET inline I load_i8_as_i16(const int8_t *p) {
  return _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}

QX_SIMD_TARGET inline I add_i32(I a, I b) { return _mm_add_epi32(a, b); }
QX_SIMD_TARGET inline I sub_i32(I a, I b) { return _mm_sub_epi32(a, b); }
QX_SIMD_TARGET inline I mullo_i32(I a, I b) { return _mm_mullo_epi32(a, b); }
QX_SIMD_TARGET inline I madd_i16(I a, I b) { return _mm_madd_epi16(a, b); }
// acc + a[2i] b[2i] + a[2i+1] b[2i+1] per 32-bit lane, wrapping.
QX_SIMD_TARGET inline I dot_pairs_add(I acc, I a, I b) {
  return _mm_add_epi32(acc, _mm_madd_epi16(a, b));
}
QX_SIMD_TARGET inline I min_i32(I a, I b) { return _mm_min_epi32(a, b); }
QX_SIMD_TARGET inline I max_i32(I a, I b) { return _mm_max_epi32(a, b); }
QX_SIMD_TARGET inline I and_bits(I a, I b) { return _mm_and_si128(a, b); }
QX_SIMD_TARGET inline I or_bits(I a, I b) { return _mm_or_si128(a, b); }
QX_SIMD_TARGET inline I srai_i32(I a, int n) { return _mm_srai_epi32(a, n); }
QX_SIMD_TARGET inline I srli_i32(I a, int n) { return _mm_srli_epi32(a, n); }
QX_SIMD_TARGET inline I slli_i32(I a, int n) { return _mm_slli_epi32(a, n); }
QX_SIMD_TARGET inline I sub_i16(I a, I b) { return _mm_sub_epi16(a, b); }
QX_SIMD_TARGET inline I max_i16(I a, I b) { return _mm_max_epi16(a, b); }
QX_SIMD_TARGET inline I min_u16(I a, I b) { return _mm_min_epu16(a, b); }
QX_SIMD_TARGET inline I adds_i16(I a, I b) { return _mm_adds_epi16(a, b); }

// Two vectors of int32 lanes whose values fit int16, as int16 in lane order.
QX_SIMD_TARGET inline I narrow_i32(I low, I high) { return _mm_packs_epi32(low, high); }

// [sum of a's lanes, b's, c's, d's].
QX_SIMD_TARGET inline __m128i lane_sums(I a, I b, I c, I d) {
  return _mm_hadd_epi32(_mm_hadd_epi32(a, b), _mm_hadd_epi32(c, d));
}

// Eight int32 values, for results that come eight at a time.
struct I32x8 {
  __m128i low, high;
};
// [sum of a0's lanes, a1's, ..., a7's].
QX_SIMD_TARGET inline I32x8 sums8(I a0, I a1, I a2, I a3, I a4, I a5, I a6, I a7) {
  return {lane_sums(a0, a1, a2, a3), lane_sums(a4, a5, a6, a7)};
}
QX_SIMD_TARGET inline I32x8 load8_i32(const int32_t *p) {
  return {_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)),
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4))};
}
QX_SIMD_TARGET inline I32x8 widen8_i8(const int8_t *p) {
  int32_t low, high;
  std::memcpy(&low, p, sizeof(low));
  std::memcpy(&high, p + 4, sizeof(high));
  return {_mm_cvtepi8_epi32(_mm_cvtsi32_si128(low)), _mm_cvtepi8_epi32(_mm_cvtsi32_si128(high))};
}
QX_SIMD_TARGET inline I32x8 widen8_i16(const int16_t *p) {
  return {_mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))),
          _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 4)))};
}
QX_SIMD_TARGET inline I32x8 add8(I32x8 a, I32x8 b) {
  return {_mm_add_epi32(a.low, b.low), _mm_add_epi32(a.high, b.high)};
}
QX_SIMD_TARGET inline I32x8 set8(int32_t v) { return {_mm_set1_epi32(v), _mm_set1_epi32(v)}; }
QX_SIMD_TARGET inline I32x8 srai8(I32x8 a, int n) {
  return {_mm_srai_epi32(a.low, n), _mm_srai_epi32(a.high, n)};
}
QX_SIMD_TARGET inline I32x8 slli8(I32x8 a, int n) {
  return {_mm_slli_epi32(a.low, n), _mm_slli_epi32(a.high, n)};
}
// The eight values saturated to int16, in order.
QX_SIMD_TARGET inline __m128i pack8(I32x8 a) { return _mm_packs_epi32(a.low, a.high); }

// The 32-bit word at int16 entry i of `table` for each lane's i: without
// gathers, one lane at a time.
QX_SIMD_TARGET inline I gather_pairs(const int16_t *table, I i) {
  alignas(16) int32_t index[4];
  _mm_store_si128(reinterpret_cast<__m128i *>(index), i);
  int32_t pair[4];
  for (int j = 0; j < 4; ++j) std::memcpy(&pair[j], table + index[j], sizeof(pair[j]));
  return _mm_setr_epi32(pair[0], pair[1], pair[2], pair[3]);
}

// table[i] for each lane's i.
QX_SIMD_TARGET inline I gather_i32(const int32_t *table, I i) {
  alignas(16) int32_t index[4];
  _mm_store_si128(reinterpret_cast<__m128i *>(index), i);
  return _mm_setr_epi32(table[index[0]], table[index[1]], table[index[2]], table[index[3]]);
}

// Every int16 lane set to the largest of v's.
QX_SIMD_TARGET inline I broadcast_max_i16(I v) {
  v = _mm_max_epi16(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_max_epi16(v, _mm_shuffle_epi32(v, 0xB1));
  v = _mm_max_epi16(v, _mm_srli_epi32(v, 16));
  const __m128i low = _mm_shufflelo_epi16(v, 0);
  return _mm_unpacklo_epi64(low, low);
}

// The unsigned 16-bit lanes of h as 32-bit lanes: the low and the high half.
QX_SIMD_TARGET inline I low_u16_as_i32(I h) { return _mm_cvtepu16_epi32(h); }
QX_SIMD_TARGET inline I high_u16_as_i32(I h) {
  return _mm_cvtepu16_epi32(_mm_unpackhi_epi64(h, h));
}

// Adds the unsigned 32-bit lanes of v to the 64-bit lanes of sum.
QX_SIMD_TARGET inline I add_u32_to_u64(I sum, I v) {
  sum = _mm_add_epi64(sum, _mm_cvtepu32_epi64(v));
  return _mm_add_epi64(sum, _mm_cvtepu32_epi64(_mm_unpackhi_epi64(v, v)));
}
QX_SIMD_TARGET inline int64_t sum_u64(I sum) {
  return static_cast<int64_t>(_mm_cvtsi128_si64(sum)) + _mm_extract_epi64(sum, 1);
}

// round_q31(a b) per 32-bit lane, for lanes in 0 ... 2^31 - 1: every product
// lies below round_q31's saturation bound, so rounding is (p + 2^30) >> 31.
QX_SIMD_TARGET inline I round_q31_products(I a, I b) {
  const __m128i half = _mm_set1_epi64x(INT64_C(1) << 30);
  const __m128i even = _mm_srli_epi64(_mm_add_epi64(_mm_mul_epi32(a, b), half), 31);
  const __m128i odd = _mm_srli_epi64(
      _mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32)), half), 31);
  return _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC);
}

// ---- float lanes ----
constexpr int kF32Lanes = 4;
QX_SIMD_TARGET inline F zero_f() { return _mm_setzero_ps(); }
QX_SIMD_TARGET inline F set1_f(float v) { return _mm_set1_ps(v); }
QX_SIMD_TARGET inline F load_f(const float *p) { return _mm_loadu_ps(p); }
QX_SIMD_TARGET inline void store_f(float *p, F v) { _mm_storeu_ps(p, v); }
QX_SIMD_TARGET inline F add_f(F a, F b) { return _mm_add_ps(a, b); }
QX_SIMD_TARGET inline F sub_f(F a, F b) { return _mm_sub_ps(a, b); }
QX_SIMD_TARGET inline F mul_f(F a, F b) { return _mm_mul_ps(a, b); }
QX_SIMD_TARGET inline F max_f(F a, F b) { return _mm_max_ps(a, b); }
// a b + c and c - a b: a multiply, then an add (no fused step before AVX2).
QX_SIMD_TARGET inline F mul_add(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
QX_SIMD_TARGET inline F neg_mul_add(F a, F b, F c) { return _mm_sub_ps(c, _mm_mul_ps(a, b)); }
QX_SIMD_TARGET inline F abs_f(F a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
QX_SIMD_TARGET inline F greater_f(F a, F b) { return _mm_cmpgt_ps(a, b); }
QX_SIMD_TARGET inline F not_greater_f(F a, F b) { return _mm_cmple_ps(a, b); }
QX_SIMD_TARGET inline bool any_f(F mask) { return _mm_movemask_ps(mask) != 0; }
QX_SIMD_TARGET inline F select_f(F if_clear, F if_set, F mask) {
  return _mm_blendv_ps(if_clear, if_set, mask);
}
QX_SIMD_TARGET inline I bits_of(F a) { return _mm_castps_si128(a); }
QX_SIMD_TARGET inline F float_of(I a) { return _mm_castsi128_ps(a); }
// The lanes folded to four: nothing to fold at this width.
QX_SIMD_TARGET inline __m128 max_to_4(F a) { return a; }
QX_SIMD_TARGET inline __m128 sum_to_4(F a) { return a; }
QX_SIMD_TARGET inline F broadcast_f(__m128 lane0) { return _mm_shuffle_ps(lane0, lane0, 0); }

}  // namespace simd
}  // namespace
}  // namespace qx
