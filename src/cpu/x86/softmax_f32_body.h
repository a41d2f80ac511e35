// softmax_f32 on kF32Lanes columns per step (cols a multiple of the step):
// the row maximum by lanes, then across them; e = exp(x - max) by the vector
// exponential below, stored and summed by lanes; the lane sums folded to four
// (AVX2: the upper four added to the lower four), then (s0 + s1) + (s2 + s3);
// every output times 1 / sum. The SSE4.1 exponential does each fused step of
// the AVX2 one as a multiply and an add. Included once per instruction set
// after its simd_*.h.
#pragma once

#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

// e^y per lane. n = y log2(e) rounded to nearest by the 1.5 * 2^23 shift
// (whose low bits then hold n), r = y - n ln 2 in two parts, e^r by a degree
// 5 polynomial, times 2^n built in the exponent field. Beyond |n| > 126 the
// scale is applied in two factors, so lanes down to n = -192 come out
// subnormal (or 0) instead of wrong, and beyond 192 saturate to 0 or inf.
QX_SIMD_TARGET inline simd::F exp_lanes(simd::F y) {
  using simd::F;
  using simd::set1_f;
  const F shifter = set1_f(12582912.0f);  // 1.5 * 2^23
  const F t = simd::mul_add(y, set1_f(1.442695f), shifter);
  const F n = simd::sub_f(t, shifter);
  F r = simd::neg_mul_add(n, set1_f(0.69314575f), y);
  r = simd::neg_mul_add(n, set1_f(1.4286068e-6f), r);
  const F r2 = simd::mul_f(r, r);
  const F high = simd::mul_add(r, set1_f(0.00824739f), set1_f(0.041899767f));
  const F low = simd::mul_add(r, set1_f(0.16668396f), set1_f(0.49999127f));
  const F p = simd::mul_add(r2, simd::mul_add(r2, high, low), simd::mul_f(r, set1_f(0.9999994f)));
  const simd::I e = simd::slli_i32(simd::bits_of(t), 23);
  const F s = simd::float_of(simd::add_i32(e, simd::bits_of(set1_f(1.0f))));
  const F abs_n = simd::abs_f(n);
  const F large = simd::greater_f(abs_n, set1_f(126.0f));
  if (!simd::any_f(large)) return simd::mul_add(s, p, s);

  // B = 2^127 for n > 0 and 2^-125 for n <= 0 (0x7f000000 + 0x82000000 wraps
  // to 0x01000000); s' = 2^(n - 127) or 2^(n + 125), the exponent field of
  // e less B's offset.
  const simd::I offset = simd::and_bits(simd::bits_of(simd::not_greater_f(n, simd::zero_f())),
                                        simd::set1_i32(static_cast<int32_t>(0x82000000u)));
  const F b = simd::float_of(simd::add_i32(offset, simd::set1_i32(0x7f000000)));
  const F s_prime = simd::float_of(simd::sub_i32(e, offset));
  const F huge = simd::greater_f(abs_n, set1_f(192.0f));
  const F scaled = simd::mul_f(simd::mul_add(s_prime, p, s_prime), b);
  const F far = simd::mul_f(b, b);  // +inf or 0
  const F special = simd::select_f(scaled, far, huge);
  return simd::select_f(simd::mul_add(s, p, s), special, large);
}

}  // namespace

QX_SIMD_TARGET void QX_SIMD_NAME(softmax_f32)(const RowsTask &task, uint64_t begin, uint64_t end) {
  constexpr uint64_t kLanes = simd::kF32Lanes;
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const float *x = static_cast<const float *>(task.x) + r * cols;
    float *out = static_cast<float *>(task.out) + r * cols;
    simd::F lane_maximum = simd::load_f(x);
    for (uint64_t j = kLanes; j < cols; j += kLanes) {
      lane_maximum = simd::max_f(lane_maximum, simd::load_f(x + j));
    }
    __m128 maximum4 = simd::max_to_4(lane_maximum);
    maximum4 = _mm_max_ps(maximum4, _mm_movehl_ps(maximum4, maximum4));
    maximum4 = _mm_max_ss(maximum4, _mm_movehdup_ps(maximum4));
    const simd::F maximum = simd::broadcast_f(maximum4);

    simd::F lane_sum = simd::zero_f();
    for (uint64_t j = 0; j < cols; j += kLanes) {
      const simd::F e = exp_lanes(simd::sub_f(simd::load_f(x + j), maximum));
      simd::store_f(out + j, e);
      lane_sum = simd::add_f(lane_sum, e);
    }
    const __m128 s = simd::sum_to_4(lane_sum);
    const __m128 pairs = _mm_add_ps(s, _mm_movehdup_ps(s));  // lane 0: s0 + s1, lane 2: s2 + s3
    const float sum = _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
    const simd::F reciprocal = simd::set1_f(1.0f / sum);
    for (uint64_t j = 0; j < cols; j += kLanes) {
      simd::store_f(out + j, simd::mul_f(simd::load_f(out + j), reciprocal));
    }
  }
}

}  // namespace qx
