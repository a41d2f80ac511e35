// The vector vocabulary of the AVX2 variants: 256-bit registers, with fused
// multiply-adds and gathers. The same names as simd_sse41.h, so that each
// operator's body (*_body.h) is written once for both widths. Only AVX2
// variant files include it.
#pragma once

#include "cpu/x86/x86_target.h"
#include "runtime/fixed_point_tables.h"

// With QX_SIMD_VNNI defined before inclusion, the same vocabulary for the
// AVX-VNNI variants, which differ in dot_pairs_add alone.
#if defined(QX_SIMD_VNNI)
#define QX_SIMD_TARGET QX_TARGET_AVXVNNI
#define QX_SIMD_NAME(name) name##_avxvnni
#else
#define QX_SIMD_TARGET QX_TARGET_AVX2
#define QX_SIMD_NAME(name) name##_avx2
#endif

namespace qx {
namespace {
namespace simd {

using I = __m256i;  // integer lanes
using F = __m256;   // float lanes
constexpr int kI32Lanes = 8;

QX_SIMD_TARGET inline I zero() { return _mm256_setzero_si256(); }
QX_SIMD_TARGET inline I set1_i32(int32_t v) { return _mm256_set1_epi32(v); }
QX_SIMD_TARGET inline I set1_i16(int16_t v) { return _mm256_set1_epi16(v); }
QX_SIMD_TARGET inline I load(const void *p) {
  return _mm256_loadu_si256(static_cast<const I *>(p));
}
QX_SIMD_TARGET inline void store(void *p, I v) { _mm256_storeu_si256(static_cast<I *>(p), v); }
// kI32Lanes int16 or int8 values widened to 32 or 16 bits.
QX_SIMD_TARGET inline I load_i16_as_i32(const int16_t *p) {
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
QX_SIMD_TARGET inline I load_i8_as_i16(const int8_t *p) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

QX_SIMD_TARGET inline I add_i32(I a, I b) { return _mm256_add_epi32(a, b); }
QX_SIMD_TARGET inline I sub_i32(I a, I b) { return _mm256_sub_epi32(a, b); }
QX_SIMD_TARGET inline I mullo_i32(I a, I b) { return _mm256_mullo_epi32(a, b); }
QX_SIMD_TARGET inline I madd_i16(I a, I b) { return _mm256_madd_epi16(a, b); }
// acc + a[2i] b[2i] + a[2i+1] b[2i+1] per 32-bit lane, wrapping (never
// saturating: the VNNI form is vpdpwssd, not vpdpwssds).
QX_SIMD_TARGET inline I dot_pairs_add(I acc, I a, I b) {
#if defined(QX_SIMD_VNNI)
  return _mm256_dpwssd_avx_epi32(acc, a, b);
#else
  return _mm256_add_epi32(acc, _mm256_madd_epi16(a, b));
#endif
}
QX_SIMD_TARGET inline I min_i32(I a, I b) { return _mm256_min_epi32(a, b); }
QX_SIMD_TARGET inline I max_i32(I a, I b) { return _mm256_max_epi32(a, b); }
QX_SIMD_TARGET inline I and_bits(I a, I b) { return _mm256_and_si256(a, b); }
QX_SIMD_TARGET inline I or_bits(I a, I b) { return _mm256_or_si256(a, b); }
QX_SIMD_TARGET inline I srai_i32(I a, int n) { return _mm256_srai_epi32(a, n); }
QX_SIMD_TARGET inline I srli_i32(I a, int n) { return _mm256_srli_epi32(a, n); }
QX_SIMD_TARGET inline I slli_i32(I a, int n) { return _mm256_slli_epi32(a, n); }
QX_SIMD_TARGET inline I sub_i16(I a, I b) { return _mm256_sub_epi16(a, b); }
QX_SIMD_TARGET inline I max_i16(I a, I b) { return _mm256_max_epi16(a, b); }
QX_SIMD_TARGET inline I min_u16(I a, I b) { return _mm256_min_epu16(a, b); }
QX_SIMD_TARGET inline I adds_i16(I a, I b) { return _mm256_adds_epi16(a, b); }

// Two vectors of int32 lanes whose values fit int16, as int16 in lane order
// (packing works per 128-bit half; the permute restores the order).
QX_SIMD_TARGET inline I narrow_i32(I low, I high) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8);
}

// [sum of a's lanes, b's, c's, d's].
QX_SIMD_TARGET inline __m128i lane_sums(I a, I b, I c, I d) {
  const __m256i abcd = _mm256_hadd_epi32(_mm256_hadd_epi32(a, b), _mm256_hadd_epi32(c, d));
  return _mm_add_epi32(_mm256_castsi256_si128(abcd), _mm256_extracti128_si256(abcd, 1));
}

// Eight int32 values, for results that come eight at a time.
using I32x8 = __m256i;
// [sum of a0's lanes, a1's, ..., a7's].
QX_SIMD_TARGET inline I32x8 sums8(I a0, I a1, I a2, I a3, I a4, I a5, I a6, I a7) {
  const __m256i h0 = _mm256_hadd_epi32(_mm256_hadd_epi32(a0, a1), _mm256_hadd_epi32(a2, a3));
  const __m256i h1 = _mm256_hadd_epi32(_mm256_hadd_epi32(a4, a5), _mm256_hadd_epi32(a6, a7));
  return _mm256_add_epi32(_mm256_permute2x128_si256(h0, h1, 0x20),
                          _mm256_permute2x128_si256(h0, h1, 0x31));
}
QX_SIMD_TARGET inline I32x8 load8_i32(const int32_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
QX_SIMD_TARGET inline I32x8 widen8_i8(const int8_t *p) {
  return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}
QX_SIMD_TARGET inline I32x8 widen8_i16(const int16_t *p) {
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
QX_SIMD_TARGET inline I32x8 add8(I32x8 a, I32x8 b) { return _mm256_add_epi32(a, b); }
QX_SIMD_TARGET inline I32x8 set8(int32_t v) { return _mm256_set1_epi32(v); }
QX_SIMD_TARGET inline I32x8 srai8(I32x8 a, int n) { return _mm256_srai_epi32(a, n); }
QX_SIMD_TARGET inline I32x8 slli8(I32x8 a, int n) { return _mm256_slli_epi32(a, n); }
// The eight values saturated to int16, in order.
QX_SIMD_TARGET inline __m128i pack8(I32x8 a) {
  return _mm_packs_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
}

// The 32-bit word at int16 entry i of `table` for each lane's i.
QX_SIMD_TARGET inline I gather_pairs(const int16_t *table, I i) {
  return _mm256_i32gather_epi32(reinterpret_cast<const int *>(table), i, 2);
}

// table[i] for each lane's i.
QX_SIMD_TARGET inline I gather_i32(const int32_t *table, I i) {
  return _mm256_i32gather_epi32(reinterpret_cast<const int *>(table), i, 4);
}

// Every int16 lane set to the largest of v's.
QX_SIMD_TARGET inline I broadcast_max_i16(I v) {
  __m128i m = _mm_max_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0xB1));
  m = _mm_max_epi16(m, _mm_srli_epi32(m, 16));
  return _mm256_broadcastw_epi16(m);
}

// The unsigned 16-bit lanes of h as 32-bit lanes: the low and the high half.
QX_SIMD_TARGET inline I low_u16_as_i32(I h) {
  return _mm256_cvtepu16_epi32(_mm256_castsi256_si128(h));
}
QX_SIMD_TARGET inline I high_u16_as_i32(I h) {
  return _mm256_cvtepu16_epi32(_mm256_extracti128_si256(h, 1));
}

// Adds the unsigned 32-bit lanes of v to the 64-bit lanes of sum.
QX_SIMD_TARGET inline I add_u32_to_u64(I sum, I v) {
  sum = _mm256_add_epi64(sum, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(v)));
  return _mm256_add_epi64(sum, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1)));
}
QX_SIMD_TARGET inline int64_t sum_u64(I sum) {
  const __m128i two = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  return static_cast<int64_t>(_mm_cvtsi128_si64(two)) + _mm_extract_epi64(two, 1);
}

// round_q31(a b) per 32-bit lane, for lanes in 0 ... 2^31 - 1: every product
// lies below round_q31's saturation bound, so rounding is (p + 2^30) >> 31.
QX_SIMD_TARGET inline I round_q31_products(I a, I b) {
  const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 30);
  const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(a, b), half), 31);
  const __m256i odd = _mm256_srli_epi64(
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)), half),
      31);
  return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

// ---- float lanes ----
constexpr int kF32Lanes = 8;
QX_SIMD_TARGET inline F zero_f() { return _mm256_setzero_ps(); }
QX_SIMD_TARGET inline F set1_f(float v) { return _mm256_set1_ps(v); }
QX_SIMD_TARGET inline F load_f(const float *p) { return _mm256_loadu_ps(p); }
QX_SIMD_TARGET inline void store_f(float *p, F v) { _mm256_storeu_ps(p, v); }
QX_SIMD_TARGET inline F add_f(F a, F b) { return _mm256_add_ps(a, b); }
QX_SIMD_TARGET inline F sub_f(F a, F b) { return _mm256_sub_ps(a, b); }
QX_SIMD_TARGET inline F mul_f(F a, F b) { return _mm256_mul_ps(a, b); }
QX_SIMD_TARGET inline F max_f(F a, F b) { return _mm256_max_ps(a, b); }
// a b + c and c - a b, each rounded once.
QX_SIMD_TARGET inline F mul_add(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
QX_SIMD_TARGET inline F neg_mul_add(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); }
QX_SIMD_TARGET inline F abs_f(F a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
QX_SIMD_TARGET inline F greater_f(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
QX_SIMD_TARGET inline F not_greater_f(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
QX_SIMD_TARGET inline bool any_f(F mask) { return _mm256_movemask_ps(mask) != 0; }
QX_SIMD_TARGET inline F select_f(F if_clear, F if_set, F mask) {
  return _mm256_blendv_ps(if_clear, if_set, mask);
}
QX_SIMD_TARGET inline I bits_of(F a) { return _mm256_castps_si256(a); }
QX_SIMD_TARGET inline F float_of(I a) { return _mm256_castsi256_ps(a); }
// The lanes folded to four: the lower half with the upper.
QX_SIMD_TARGET inline __m128 max_to_4(F a) {
  return _mm_max_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
}
QX_SIMD_TARGET inline __m128 sum_to_4(F a) {
  return _mm_add_ps(_mm256_extractf128_ps(a, 1), _mm256_castps256_ps128(a));
}
QX_SIMD_TARGET inline F broadcast_f(__m128 lane0) { return _mm256_broadcastss_ps(lane0); }

}  // namespace simd
}  // namespace
}  // namespace qx
