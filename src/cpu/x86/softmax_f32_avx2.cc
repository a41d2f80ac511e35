// softmax_f32 on 8 lanes (cols a multiple of 8): the row maximum by lanes,
// then across them; e = exp(x - max) by the vector exponential below, stored
// and summed by lanes; the upper four lane sums added to the lower four, then
// (s0 + s1) + (s2 + s3); every output times 1 / sum.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

// e^y per lane. n = y log2(e) rounded to nearest by the 1.5 * 2^23 shift
// (whose low bits then hold n), r = y - n ln 2 in two parts, e^r by a degree
// 5 polynomial, times 2^n built in the exponent field. Beyond |n| > 126 the
// scale is applied in two factors, so lanes down to n = -192 come out
// subnormal (or 0) instead of wrong, and beyond 192 saturate to 0 or inf.
QX_TARGET_AVX2 inline __m256 exp8(__m256 y) {
  const __m256 shifter = _mm256_set1_ps(12582912.0f);  // 1.5 * 2^23
  const __m256 t = _mm256_fmadd_ps(y, _mm256_set1_ps(1.442695f), shifter);
  const __m256 n = _mm256_sub_ps(t, shifter);
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.69314575f), y);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(1.4286068e-6f), r);
  const __m256 r2 = _mm256_mul_ps(r, r);
  const __m256 high = _mm256_fmadd_ps(r, _mm256_set1_ps(0.00824739f), _mm256_set1_ps(0.041899767f));
  const __m256 low = _mm256_fmadd_ps(r, _mm256_set1_ps(0.16668396f), _mm256_set1_ps(0.49999127f));
  const __m256 p = _mm256_fmadd_ps(r2, _mm256_fmadd_ps(r2, high, low),
                                   _mm256_mul_ps(r, _mm256_set1_ps(0.9999994f)));
  const __m256i e = _mm256_slli_epi32(_mm256_castps_si256(t), 23);
  const __m256 s =
      _mm256_castsi256_ps(_mm256_add_epi32(e, _mm256_castps_si256(_mm256_set1_ps(1.0f))));
  const __m256 abs_n = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), n);
  const __m256 large = _mm256_cmp_ps(abs_n, _mm256_set1_ps(126.0f), _CMP_GT_OQ);
  if (_mm256_movemask_ps(large) == 0) return _mm256_fmadd_ps(s, p, s);

  // B = 2^127 for n > 0 and 2^-125 for n <= 0 (0x7f000000 + 0x82000000 wraps
  // to 0x01000000); s' = 2^(n - 127) or 2^(n + 125), the exponent field of
  // e less B's offset.
  const __m256i offset =
      _mm256_and_si256(_mm256_castps_si256(_mm256_cmp_ps(n, _mm256_setzero_ps(), _CMP_LE_OQ)),
                       _mm256_set1_epi32(static_cast<int>(0x82000000u)));
  const __m256 b = _mm256_castsi256_ps(_mm256_add_epi32(offset, _mm256_set1_epi32(0x7f000000)));
  const __m256 s_prime = _mm256_castsi256_ps(_mm256_sub_epi32(e, offset));
  const __m256 huge = _mm256_cmp_ps(abs_n, _mm256_set1_ps(192.0f), _CMP_GT_OQ);
  const __m256 scaled = _mm256_mul_ps(_mm256_fmadd_ps(s_prime, p, s_prime), b);
  const __m256 far = _mm256_mul_ps(b, b);  // +inf or 0
  const __m256 special = _mm256_blendv_ps(scaled, far, huge);
  return _mm256_blendv_ps(_mm256_fmadd_ps(s, p, s), special, large);
}

}  // namespace

QX_TARGET_AVX2 void softmax_f32_avx2(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const float *x = static_cast<const float *>(task.x) + r * cols;
    float *out = static_cast<float *>(task.out) + r * cols;
    __m256 maximum8 = _mm256_loadu_ps(x);
    for (uint64_t j = 8; j < cols; j += 8)
      maximum8 = _mm256_max_ps(maximum8, _mm256_loadu_ps(x + j));
    __m128 maximum4 =
        _mm_max_ps(_mm256_castps256_ps128(maximum8), _mm256_extractf128_ps(maximum8, 1));
    maximum4 = _mm_max_ps(maximum4, _mm_movehl_ps(maximum4, maximum4));
    maximum4 = _mm_max_ss(maximum4, _mm_movehdup_ps(maximum4));
    const __m256 maximum = _mm256_broadcastss_ps(maximum4);

    __m256 sum8 = _mm256_setzero_ps();
    for (uint64_t j = 0; j < cols; j += 8) {
      const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + j), maximum));
      _mm256_storeu_ps(out + j, e);
      sum8 = _mm256_add_ps(sum8, e);
    }
    const __m128 s = _mm_add_ps(_mm256_extractf128_ps(sum8, 1), _mm256_castps256_ps128(sum8));
    const __m128 pairs = _mm_add_ps(s, _mm_movehdup_ps(s));  // lane 0: s0 + s1, lane 2: s2 + s3
    const float sum = _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
    const __m256 reciprocal = _mm256_set1_ps(1.0f / sum);
    for (uint64_t j = 0; j < cols; j += 8) {
      _mm256_storeu_ps(out + j, _mm256_mul_ps(_mm256_loadu_ps(out + j), reciprocal));
    }
  }
}

}  // namespace qx
