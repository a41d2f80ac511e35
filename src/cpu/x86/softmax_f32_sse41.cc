// softmax_f32 on 4 lanes (cols a multiple of 4): the row maximum by lanes,
// then across them; e = exp(x - max) by the vector exponential below, stored
// and summed by lanes; the sum (s0 + s1) + (s2 + s3); every output times
// 1 / sum. The exponential is the AVX2 variant's with each fused step done
// as a separate multiply and add.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

QX_TARGET_SSE41 inline __m128 mul_add(__m128 a, __m128 b, __m128 c) {
  return _mm_add_ps(_mm_mul_ps(a, b), c);
}

// e^y per lane: n = y log2(e) rounded to nearest by the 1.5 * 2^23 shift
// (whose low bits then hold n), r = y - n ln 2 in two parts, e^r by a degree
// 5 polynomial, times 2^n built in the exponent field; beyond |n| > 126 the
// scale is applied in two factors (see the AVX2 variant).
QX_TARGET_SSE41 inline __m128 exp4(__m128 y) {
  const __m128 shifter = _mm_set1_ps(12582912.0f);  // 1.5 * 2^23
  const __m128 t = mul_add(y, _mm_set1_ps(1.442695f), shifter);
  const __m128 n = _mm_sub_ps(t, shifter);
  __m128 r = _mm_sub_ps(y, _mm_mul_ps(n, _mm_set1_ps(0.69314575f)));
  r = _mm_sub_ps(r, _mm_mul_ps(n, _mm_set1_ps(1.4286068e-6f)));
  const __m128 r2 = _mm_mul_ps(r, r);
  const __m128 high = mul_add(r, _mm_set1_ps(0.00824739f), _mm_set1_ps(0.041899767f));
  const __m128 low = mul_add(r, _mm_set1_ps(0.16668396f), _mm_set1_ps(0.49999127f));
  const __m128 p = mul_add(r2, mul_add(r2, high, low), _mm_mul_ps(r, _mm_set1_ps(0.9999994f)));
  const __m128i e = _mm_slli_epi32(_mm_castps_si128(t), 23);
  const __m128 s = _mm_castsi128_ps(_mm_add_epi32(e, _mm_castps_si128(_mm_set1_ps(1.0f))));
  const __m128 abs_n = _mm_andnot_ps(_mm_set1_ps(-0.0f), n);
  const __m128 large = _mm_cmpgt_ps(abs_n, _mm_set1_ps(126.0f));
  if (_mm_movemask_ps(large) == 0) return mul_add(s, p, s);

  const __m128i offset = _mm_and_si128(_mm_castps_si128(_mm_cmple_ps(n, _mm_setzero_ps())),
                                       _mm_set1_epi32(static_cast<int>(0x82000000u)));
  const __m128 b = _mm_castsi128_ps(_mm_add_epi32(offset, _mm_set1_epi32(0x7f000000)));
  const __m128 s_prime = _mm_castsi128_ps(_mm_sub_epi32(e, offset));
  const __m128 huge = _mm_cmpgt_ps(abs_n, _mm_set1_ps(192.0f));
  const __m128 scaled = _mm_mul_ps(mul_add(s_prime, p, s_prime), b);
  const __m128 far = _mm_mul_ps(b, b);  // +inf or 0
  const __m128 special = _mm_blendv_ps(scaled, far, huge);
  return _mm_blendv_ps(mul_add(s, p, s), special, large);
}

}  // namespace

QX_TARGET_SSE41 void softmax_f32_sse41(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const float *x = static_cast<const float *>(task.x) + r * cols;
    float *out = static_cast<float *>(task.out) + r * cols;
    __m128 maximum4 = _mm_loadu_ps(x);
    for (uint64_t j = 4; j < cols; j += 4) maximum4 = _mm_max_ps(maximum4, _mm_loadu_ps(x + j));
    maximum4 = _mm_max_ps(maximum4, _mm_movehl_ps(maximum4, maximum4));
    maximum4 = _mm_max_ss(maximum4, _mm_movehdup_ps(maximum4));
    const __m128 maximum = _mm_shuffle_ps(maximum4, maximum4, 0);

    __m128 sum4 = _mm_setzero_ps();
    for (uint64_t j = 0; j < cols; j += 4) {
      const __m128 e = exp4(_mm_sub_ps(_mm_loadu_ps(x + j), maximum));
      _mm_storeu_ps(out + j, e);
      sum4 = _mm_add_ps(sum4, e);
    }
    const __m128 pairs =
        _mm_add_ps(sum4, _mm_movehdup_ps(sum4));  // lane 0: s0 + s1, lane 2: s2 + s3
    const float sum = _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
    const __m128 reciprocal = _mm_set1_ps(1.0f / sum);
    for (uint64_t j = 0; j < cols; j += 4) {
      _mm_storeu_ps(out + j, _mm_mul_ps(_mm_loadu_ps(out + j), reciprocal));
    }
  }
}

}  // namespace qx
