// softmax_i16_to_q31 on 8 lanes (cols a multiple of 8), with the reference's
// integers: h = min(max - x, 16383) taken as unsigned 16 bits (max - x lies
// in 0 ... 65535), e = round_q31(L[h & 127] M[h >> 7]) with the table entries
// read lane by lane, an exact 64-bit sum, then round_q31(g e) with
// g = 2^62 / sum.
//
// Every product here is of two values in 0 ... 2^31 - 1, so it lies in
// 0 ... (2^31 - 1)^2, below round_q31's saturation bound: rounding is
// (p + 2^30) >> 31 on unsigned 64-bit lanes.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

// round_q31(a b) per 32-bit lane, for lanes in 0 ... 2^31 - 1.
QX_TARGET_SSE41 inline __m128i round_products(__m128i a, __m128i b) {
  const __m128i half = _mm_set1_epi64x(INT64_C(1) << 30);
  const __m128i even = _mm_srli_epi64(_mm_add_epi64(_mm_mul_epi32(a, b), half), 31);
  const __m128i odd = _mm_srli_epi64(
      _mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32)), half), 31);
  return _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC);
}

QX_TARGET_SSE41 inline __m128i widen_sum(__m128i sum, __m128i v) {
  sum = _mm_add_epi64(sum, _mm_cvtepu32_epi64(v));
  return _mm_add_epi64(sum, _mm_cvtepu32_epi64(_mm_unpackhi_epi64(v, v)));
}

}  // namespace

QX_TARGET_SSE41 void softmax_i16_to_q31_sse41(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x_q10 = static_cast<const int16_t *>(task.x) + r * cols;
    int32_t *out_q31 = static_cast<int32_t *>(task.out) + r * cols;
    __m128i maximum8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x_q10));
    for (uint64_t j = 8; j < cols; j += 8) {
      maximum8 =
          _mm_max_epi16(maximum8, _mm_loadu_si128(reinterpret_cast<const __m128i *>(x_q10 + j)));
    }
    maximum8 = _mm_max_epi16(maximum8, _mm_shuffle_epi32(maximum8, 0x4E));
    maximum8 = _mm_max_epi16(maximum8, _mm_shuffle_epi32(maximum8, 0xB1));
    maximum8 = _mm_max_epi16(maximum8, _mm_srli_epi32(maximum8, 16));
    const __m128i maximum = _mm_shufflelo_epi16(maximum8, 0);
    const __m128i maximum_all = _mm_unpacklo_epi64(maximum, maximum);

    __m128i sum2 = _mm_setzero_si128();
    for (uint64_t j = 0; j < cols; j += 8) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x_q10 + j));
      alignas(16) uint16_t h[8];
      _mm_store_si128(reinterpret_cast<__m128i *>(h),
                      _mm_min_epu16(_mm_sub_epi16(maximum_all, x), _mm_set1_epi16(16383)));
      for (int half = 0; half < 2; ++half) {
        const uint16_t *hh = h + 4 * half;
        const __m128i lsb =
            _mm_setr_epi32(QX_EXP_LSB_TABLE[hh[0] & 127], QX_EXP_LSB_TABLE[hh[1] & 127],
                           QX_EXP_LSB_TABLE[hh[2] & 127], QX_EXP_LSB_TABLE[hh[3] & 127]);
        const __m128i msb =
            _mm_setr_epi32(QX_EXP_MSB_TABLE[hh[0] >> 7], QX_EXP_MSB_TABLE[hh[1] >> 7],
                           QX_EXP_MSB_TABLE[hh[2] >> 7], QX_EXP_MSB_TABLE[hh[3] >> 7]);
        const __m128i e = round_products(lsb, msb);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out_q31 + j + 4 * half), e);
        sum2 = widen_sum(sum2, e);
      }
    }
    const auto sum_q31 = static_cast<int64_t>(_mm_cvtsi128_si64(sum2)) + _mm_extract_epi64(sum2, 1);
    int64_t g_q31 = (INT64_C(1) << 62) / sum_q31;
    if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
    const __m128i g = _mm_set1_epi32(static_cast<int32_t>(g_q31));
    for (uint64_t j = 0; j < cols; j += 4) {
      __m128i *p = reinterpret_cast<__m128i *>(out_q31 + j);
      _mm_storeu_si128(p, round_products(_mm_loadu_si128(p), g));
    }
  }
}

}  // namespace qx
