// softmax_i16_to_q31 on 16 lanes (cols a multiple of 16), with the
// reference's integers: h = min(max - x, 16383) taken as unsigned 16 bits
// (max - x lies in 0 ... 65535), e = round_q31(L[h & 127] M[h >> 7]) from
// gathers, an exact 64-bit sum, then round_q31(g e) with g = 2^62 / sum.
//
// Every product here is of two values in 0 ... 2^31 - 1, so it lies in
// 0 ... (2^31 - 1)^2, below round_q31's saturation bound: rounding is
// (p + 2^30) >> 31 on unsigned 64-bit lanes.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

// round_q31(a b) per 32-bit lane, for lanes in 0 ... 2^31 - 1.
QX_TARGET_AVX2 inline __m256i round_products(__m256i a, __m256i b) {
  const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 30);
  const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(a, b), half), 31);
  const __m256i odd = _mm256_srli_epi64(
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)), half),
      31);
  return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

QX_TARGET_AVX2 inline __m256i exp8(__m128i h16) {
  const __m256i h = _mm256_cvtepu16_epi32(h16);
  const __m256i lsb = _mm256_i32gather_epi32(reinterpret_cast<const int *>(QX_EXP_LSB_TABLE),
                                             _mm256_and_si256(h, _mm256_set1_epi32(127)), 4);
  const __m256i msb = _mm256_i32gather_epi32(reinterpret_cast<const int *>(QX_EXP_MSB_TABLE),
                                             _mm256_srli_epi32(h, 7), 4);
  return round_products(lsb, msb);
}

QX_TARGET_AVX2 inline __m256i widen_sum(__m256i sum, __m256i v) {
  sum = _mm256_add_epi64(sum, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(v)));
  return _mm256_add_epi64(sum, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1)));
}

}  // namespace

QX_TARGET_AVX2 void softmax_i16_to_q31_avx2(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x_q10 = static_cast<const int16_t *>(task.x) + r * cols;
    int32_t *out_q31 = static_cast<int32_t *>(task.out) + r * cols;
    __m256i maximum16 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x_q10));
    for (uint64_t j = 16; j < cols; j += 16) {
      maximum16 = _mm256_max_epi16(
          maximum16, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x_q10 + j)));
    }
    __m128i maximum8 =
        _mm_max_epi16(_mm256_castsi256_si128(maximum16), _mm256_extracti128_si256(maximum16, 1));
    maximum8 = _mm_max_epi16(maximum8, _mm_shuffle_epi32(maximum8, 0x4E));
    maximum8 = _mm_max_epi16(maximum8, _mm_shuffle_epi32(maximum8, 0xB1));
    maximum8 = _mm_max_epi16(maximum8, _mm_srli_epi32(maximum8, 16));
    const __m256i maximum = _mm256_broadcastw_epi16(maximum8);

    __m256i sum4 = _mm256_setzero_si256();
    for (uint64_t j = 0; j < cols; j += 16) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x_q10 + j));
      const __m256i h = _mm256_min_epu16(_mm256_sub_epi16(maximum, x), _mm256_set1_epi16(16383));
      const __m256i low = exp8(_mm256_castsi256_si128(h));
      const __m256i high = exp8(_mm256_extracti128_si256(h, 1));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out_q31 + j), low);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out_q31 + j + 8), high);
      sum4 = widen_sum(widen_sum(sum4, low), high);
    }
    const __m128i sum2 =
        _mm_add_epi64(_mm256_castsi256_si128(sum4), _mm256_extracti128_si256(sum4, 1));
    const auto sum_q31 = static_cast<int64_t>(_mm_cvtsi128_si64(sum2)) + _mm_extract_epi64(sum2, 1);
    int64_t g_q31 = (INT64_C(1) << 62) / sum_q31;
    if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
    const __m256i g = _mm256_set1_epi32(static_cast<int32_t>(g_q31));
    for (uint64_t j = 0; j < cols; j += 8) {
      __m256i *p = reinterpret_cast<__m256i *>(out_q31 + j);
      _mm256_storeu_si256(p, round_products(_mm256_loadu_si256(p), g));
    }
  }
}

}  // namespace qx
