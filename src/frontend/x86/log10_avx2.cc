// (float)log10((double)x), eight values at a time, with the bits of the
// scalar expression for every input.
//
// The vector computes log10 in double precision to within 2^-49 of the
// exact value (relative); the system's log10 is within one double ulp
// (2^-52) of it. Rounding to float32 can tell the two apart only when the
// exact value lies within 2^-44 of the midway point between two floats, so
// a lane whose result moves when the value moves by 2^-44 either way takes
// the scalar expression instead (about one value in a million), as do
// zeros, subnormals, negative values, infinities and NaNs. The exhaustive
// test over every positive float32 (tests/long) confirms the outcome.
//
// log10(x) = k log10(2) + ln(M) log10(e), x = 2^k M, M in [sqrt(1/2), sqrt(2)),
// and ln(M) = 2 atanh(s) = 2s (1 + z/3 + z^2/5 + ... + z^9/19) with
// s = (M - 1)/(M + 1), z = s^2 <= 0.0295: the first omitted term is below
// 2^-55 of the sum.
#include <cmath>
#include <cstdint>

#include "frontend/x86/avx2_blocks.h"

namespace qx {
namespace {

constexpr double kLog10Of2 = 0.30102999566398119521;
constexpr double kLog10OfE = 0.43429448190325182765;
constexpr double kTolerance = 1.0 / (1ull << 44);
// 1/3, 1/5, ... 1/19, highest power of z first.
constexpr double kAtanhSeries[] = {1.0 / 19, 1.0 / 17, 1.0 / 15, 1.0 / 13, 1.0 / 11,
                                   1.0 / 9,  1.0 / 7,  1.0 / 5,  1.0 / 3};

// log10 of 2^k * m, m in [sqrt(1/2), sqrt(2)), both exact doubles.
QX_FRONT_END_AVX2 inline __m256d log10_reduced(__m256d k, __m256d m) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d s = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
  const __m256d z = _mm256_mul_pd(s, s);
  __m256d series = _mm256_set1_pd(kAtanhSeries[0]);
  for (int i = 1; i < 9; ++i) {
    series = _mm256_add_pd(_mm256_mul_pd(series, z), _mm256_set1_pd(kAtanhSeries[i]));
  }
  const __m256d two_s = _mm256_add_pd(s, s);
  const __m256d ln_m = _mm256_add_pd(two_s, _mm256_mul_pd(two_s, _mm256_mul_pd(z, series)));
  return _mm256_add_pd(_mm256_mul_pd(k, _mm256_set1_pd(kLog10Of2)),
                       _mm256_mul_pd(ln_m, _mm256_set1_pd(kLog10OfE)));
}

// Rounds four results to float32; bit i of `unsure` marks lane i when moving
// its result by the tolerance either way could change the rounding.
QX_FRONT_END_AVX2 inline __m128 round_checked(__m256d r, int *unsure) {
  const __m128 nearest = _mm256_cvtpd_ps(r);
  const __m128 below = _mm256_cvtpd_ps(_mm256_mul_pd(r, _mm256_set1_pd(1.0 - kTolerance)));
  const __m128 above = _mm256_cvtpd_ps(_mm256_mul_pd(r, _mm256_set1_pd(1.0 + kTolerance)));
  const __m128i same =
      _mm_and_si128(_mm_cmpeq_epi32(_mm_castps_si128(below), _mm_castps_si128(nearest)),
                    _mm_cmpeq_epi32(_mm_castps_si128(above), _mm_castps_si128(nearest)));
  *unsure = ~_mm_movemask_ps(_mm_castsi128_ps(same)) & 0xF;
  return nearest;
}

QX_FRONT_END_AVX2 inline void log10_8(const float *x, float *out) {
  const __m256 v = _mm256_loadu_ps(x);
  // Positive normal finite values only; NaN fails both comparisons.
  const __m256 normal = _mm256_and_ps(_mm256_cmp_ps(v, _mm256_set1_ps(1.17549435e-38f), _CMP_GE_OQ),
                                      _mm256_cmp_ps(v, _mm256_set1_ps(INFINITY), _CMP_LT_OQ));
  const __m256i bits = _mm256_castps_si256(v);
  const __m256i mantissa = _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF));
  // Mantissas from sqrt(2) up are halved into [sqrt(1/2), 1), and k grows by one.
  const __m256i halve = _mm256_cmpgt_epi32(mantissa, _mm256_set1_epi32(0x3504F3));
  const __m256i m_bits = _mm256_add_epi32(_mm256_or_si256(mantissa, _mm256_set1_epi32(0x3F800000)),
                                          _mm256_and_si256(halve, _mm256_set1_epi32(-(1 << 23))));
  const __m256i k = _mm256_sub_epi32(
      _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)), halve);
  const __m256 m = _mm256_castsi256_ps(m_bits);

  int unsure_low, unsure_high;
  const __m128 low = round_checked(log10_reduced(_mm256_cvtepi32_pd(_mm256_castsi256_si128(k)),
                                                 _mm256_cvtps_pd(_mm256_castps256_ps128(m))),
                                   &unsure_low);
  const __m128 high =
      round_checked(log10_reduced(_mm256_cvtepi32_pd(_mm256_extracti128_si256(k, 1)),
                                  _mm256_cvtps_pd(_mm256_extractf128_ps(m, 1))),
                    &unsure_high);
  _mm256_storeu_ps(out, _mm256_set_m128(high, low));

  const int scalar_lanes = unsure_low | unsure_high << 4 | (~_mm256_movemask_ps(normal) & 0xFF);
  for (int i = 0; scalar_lanes != 0 && i < 8; ++i) {
    if (scalar_lanes & (1 << i)) out[i] = static_cast<float>(std::log10(static_cast<double>(x[i])));
  }
}

}  // namespace

QX_FRONT_END_AVX2 void log10_avx2(const float *x, float *out, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) log10_8(x + i, out + i);
  for (; i < n; ++i) out[i] = static_cast<float>(std::log10(static_cast<double>(x[i])));
}

}  // namespace qx
