// The vector vocabulary of the AVX-512 variants: 512-bit registers (F, BW,
// VL), whose masked loads finish a row with one partial step instead of a
// scalar tail (and BMI2 to make the masks). With QX_SIMD_VNNI defined before inclusion, pairs of products
// are added by vpdpwssd (AVX-512 VNNI), else by vpmaddwd then vpaddd. Only
// the dense and lstm variants run on 512 bits, so this holds what their
// bodies need, under the names of simd_avx2.h. Only AVX-512 variant files
// include it.
#pragma once

#include <cstdint>

#include "cpu/x86/x86_target.h"

// GCC 12's 512-bit intrinsics without a mask pass an undefined vector as the
// unused merge source, which -Wmaybe-uninitialized reports wherever they are
// inlined (GCC bug 105593). Only the AVX-512 variant files include this.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(QX_SIMD_VNNI)
#define QX_SIMD_TARGET QX_TARGET_AVX512VNNI
#define QX_SIMD_NAME(name) name##_avx512vnni
#else
#define QX_SIMD_TARGET QX_TARGET_AVX512BW
#define QX_SIMD_NAME(name) name##_avx512bw
#endif

namespace qx {
namespace {
namespace simd {

using I = __m512i;  // integer lanes
constexpr int kI32Lanes = 16;

QX_SIMD_TARGET inline I zero() { return _mm512_setzero_si512(); }
QX_SIMD_TARGET inline I load(const void *p) { return _mm512_loadu_si512(p); }
// 2 kI32Lanes int8 values widened to int16.
QX_SIMD_TARGET inline I load_i8_as_i16(const int8_t *p) {
  return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

// A row's last, partial step: its first n inputs, 0 < n < 2 kI32Lanes, and
// zeros above them, which add nothing to a dot product. Masked-off elements
// are not read, so a row may end right before unmapped memory. Whole steps
// load unmasked: a masked load costs an extra vector operation.
#define QX_SIMD_PARTIAL_STEPS 1
QX_SIMD_TARGET inline __mmask32 first_lanes(int32_t n) {
  return _bzhi_u32(~0u, static_cast<uint32_t>(n));
}
QX_SIMD_TARGET inline I load_partial_i16(const int16_t *p, int32_t n) {
  return _mm512_maskz_loadu_epi16(first_lanes(n), p);
}
QX_SIMD_TARGET inline I load_partial_i8_as_i16(const int8_t *p, int32_t n) {
  return _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(first_lanes(n), p));
}

// ---- 32-bit lanes of the lstm body ----
QX_SIMD_TARGET inline I set1_i32(int32_t v) { return _mm512_set1_epi32(v); }
QX_SIMD_TARGET inline void store(void *p, I v) { _mm512_storeu_si512(p, v); }
QX_SIMD_TARGET inline I load_i16_as_i32(const int16_t *p) {
  return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}
// The first n (0 <= n <= kI32Lanes) of 16 int16 values, zeros above them;
// masked-off elements are not read.
QX_SIMD_TARGET inline I load_partial_i16_as_i32(const int16_t *p, int32_t n) {
  const auto mask = static_cast<__mmask16>(_bzhi_u32(~0u, static_cast<uint32_t>(n)));
  return _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(mask, p));
}
// The first n (0 < n < 2 kI32Lanes) int16 values of v; the rest of p is
// not written.
QX_SIMD_TARGET inline void store_partial_i16(int16_t *p, I v, int32_t n) {
  _mm512_mask_storeu_epi16(p, first_lanes(n), v);
}
QX_SIMD_TARGET inline I add_i32(I a, I b) { return _mm512_add_epi32(a, b); }
QX_SIMD_TARGET inline I sub_i32(I a, I b) { return _mm512_sub_epi32(a, b); }
QX_SIMD_TARGET inline I mullo_i32(I a, I b) { return _mm512_mullo_epi32(a, b); }
QX_SIMD_TARGET inline I madd_i16(I a, I b) { return _mm512_madd_epi16(a, b); }
QX_SIMD_TARGET inline I min_i32(I a, I b) { return _mm512_min_epi32(a, b); }
QX_SIMD_TARGET inline I max_i32(I a, I b) { return _mm512_max_epi32(a, b); }
QX_SIMD_TARGET inline I and_bits(I a, I b) { return _mm512_and_si512(a, b); }
QX_SIMD_TARGET inline I or_bits(I a, I b) { return _mm512_or_si512(a, b); }
QX_SIMD_TARGET inline I srai_i32(I a, int n) { return _mm512_srai_epi32(a, n); }
QX_SIMD_TARGET inline I srli_i32(I a, int n) { return _mm512_srli_epi32(a, n); }
QX_SIMD_TARGET inline I slli_i32(I a, int n) { return _mm512_slli_epi32(a, n); }
// int16 saturations of low's lanes, then of high's, in order.
QX_SIMD_TARGET inline I narrow_i32(I low, I high) {
  // packs works per 128-bit block: [low's block k, high's block k].
  return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                  _mm512_packs_epi32(low, high));
}
// table[i] (low half) and table[i + 1] (high half) per lane, 0 <= i <= 255,
// from a table of 257 entries: word permutations over its four 64-entry
// blocks, which cost a few operations where a gather costs one load per lane.
QX_SIMD_TARGET inline I gather_pairs(const int16_t *table, I i) {
  const I next = _mm512_add_epi32(i, _mm512_set1_epi32(1));
  const I words = _mm512_or_si512(i, _mm512_slli_epi32(next, 16));
  // Each permutation reads the word index's low 6 bits.
  const I t0 = _mm512_permutex2var_epi16(load(table), words, load(table + 32));
  const I t1 = _mm512_permutex2var_epi16(load(table + 64), words, load(table + 96));
  const I t2 = _mm512_permutex2var_epi16(load(table + 128), words, load(table + 160));
  const I t3 = _mm512_permutex2var_epi16(load(table + 192), words, load(table + 224));
  const __mmask32 bit6 = _mm512_test_epi16_mask(words, _mm512_set1_epi16(64));
  const __mmask32 bit7 = _mm512_test_epi16_mask(words, _mm512_set1_epi16(128));
  const __mmask32 last = _mm512_test_epi16_mask(words, _mm512_set1_epi16(256));
  const I v = _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, t0, t1),
                                      _mm512_mask_blend_epi16(bit6, t2, t3));
  return _mm512_mask_set1_epi16(v, last, table[256]);
}

// acc + a[2i] b[2i] + a[2i+1] b[2i+1] per 32-bit lane, wrapping (never
// saturating: the VNNI form is vpdpwssd, not vpdpwssds).
QX_SIMD_TARGET inline I dot_pairs_add(I acc, I a, I b) {
#if defined(QX_SIMD_VNNI)
  // As _mm512_dpwssd_epi32, whose destructive accumulator GCC 12 copies
  // between registers on every step of a loop; tying it keeps it in place.
  __asm__("vpdpwssd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(b));
  return acc;
#else
  return _mm512_add_epi32(acc, _mm512_madd_epi16(a, b));
#endif
}

// Per 128-bit block: [a's block sum, b's, c's, d's], by two rounds of
// interleaving and adding.
QX_SIMD_TARGET inline I block_sums(I a, I b, I c, I d) {
  const I ab = _mm512_add_epi32(_mm512_unpacklo_epi32(a, b), _mm512_unpackhi_epi32(a, b));
  const I cd = _mm512_add_epi32(_mm512_unpacklo_epi32(c, d), _mm512_unpackhi_epi32(c, d));
  return _mm512_add_epi32(_mm512_unpacklo_epi64(ab, cd), _mm512_unpackhi_epi64(ab, cd));
}

// [sum of a's lanes, b's, c's, d's].
QX_SIMD_TARGET inline __m128i lane_sums(I a, I b, I c, I d) {
  const I blocks = block_sums(a, b, c, d);
  const __m256i halves = _mm256_add_epi32(_mm512_castsi512_si256(blocks),
                                          _mm512_extracti64x4_epi64(blocks, 1));
  return _mm_add_epi32(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
}

// Eight int32 values, for results that come eight at a time.
using I32x8 = __m256i;
// [sum of a0's lanes, a1's, ..., a7's]: the four blocks of the two block
// sums folded pairwise, first blocks 0 + 2 and 1 + 3, then the two left.
QX_SIMD_TARGET inline I32x8 sums8(I a0, I a1, I a2, I a3, I a4, I a5, I a6, I a7) {
  const I low = block_sums(a0, a1, a2, a3);
  const I high = block_sums(a4, a5, a6, a7);
  const I folded = _mm512_add_epi32(_mm512_shuffle_i32x4(low, high, _MM_SHUFFLE(1, 0, 1, 0)),
                                    _mm512_shuffle_i32x4(low, high, _MM_SHUFFLE(3, 2, 3, 2)));
  const I sums = _mm512_add_epi32(_mm512_shuffle_i32x4(folded, folded, _MM_SHUFFLE(2, 0, 2, 0)),
                                  _mm512_shuffle_i32x4(folded, folded, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm512_castsi512_si256(sums);
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

}  // namespace simd
}  // namespace
}  // namespace qx
