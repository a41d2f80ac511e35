// softmax_f32 on 4 columns per step (cols a multiple of 4), as the SSE4.1
// variant: the row maximum by lanes, then across them; e = exp(x - max) by
// the vector exponential below, stored and summed by lanes; the sum
// (s0 + s1) + (s2 + s3); every output times 1 / sum.
//
// ARMv7 NEON flushes subnormal operands and results to zero: terms below
// 2^-126 (x - max below about -87.3) come out 0 where the x86 variants give
// a subnormal value, and terms with n = -126 lose the subnormal product
// 2^-126 p, leaving 2^-126. Both are below 1.2e-38 in a row summing to 1.
#include <arm_neon.h>

#include "cpu/arm/arm_kernels.h"

namespace qx {
namespace {

// a b + c and c - a b as a multiply and an add: the SSE4.1 variant's
// rounding (ARMv7 has no fused step).
inline float32x4_t mul_add(float32x4_t a, float32x4_t b, float32x4_t c) {
  return vaddq_f32(vmulq_f32(a, b), c);
}
inline float32x4_t neg_mul_add(float32x4_t a, float32x4_t b, float32x4_t c) {
  return vsubq_f32(c, vmulq_f32(a, b));
}

inline bool any_lane(uint32x4_t mask) {
  const uint32x2_t folded = vorr_u32(vget_low_u32(mask), vget_high_u32(mask));
  return (vget_lane_u32(folded, 0) | vget_lane_u32(folded, 1)) != 0;
}

// e^y per lane. n = y log2(e) rounded to nearest by the 1.5 * 2^23 shift
// (whose low bits then hold n), r = y - n ln 2 in two parts, e^r by a degree
// 5 polynomial, times 2^n built in the exponent field. Beyond |n| > 126 the
// scale is applied in two factors, and beyond 192 saturates to 0 or inf.
inline float32x4_t exp_lanes(float32x4_t y) {
  const float32x4_t shifter = vdupq_n_f32(12582912.0f);  // 1.5 * 2^23
  const float32x4_t t = mul_add(y, vdupq_n_f32(1.442695f), shifter);
  const float32x4_t n = vsubq_f32(t, shifter);
  float32x4_t r = neg_mul_add(n, vdupq_n_f32(0.69314575f), y);
  r = neg_mul_add(n, vdupq_n_f32(1.4286068e-6f), r);
  const float32x4_t r2 = vmulq_f32(r, r);
  const float32x4_t high = mul_add(r, vdupq_n_f32(0.00824739f), vdupq_n_f32(0.041899767f));
  const float32x4_t low = mul_add(r, vdupq_n_f32(0.16668396f), vdupq_n_f32(0.49999127f));
  const float32x4_t p = mul_add(r2, mul_add(r2, high, low), vmulq_f32(r, vdupq_n_f32(0.9999994f)));
  const uint32x4_t e = vshlq_n_u32(vreinterpretq_u32_f32(t), 23);
  const float32x4_t s = vreinterpretq_f32_u32(vaddq_u32(e, vdupq_n_u32(0x3f800000u)));  // 1.0f
  const float32x4_t abs_n = vabsq_f32(n);
  const uint32x4_t large = vcgtq_f32(abs_n, vdupq_n_f32(126.0f));
  if (!any_lane(large)) return mul_add(s, p, s);

  // B = 2^127 for n > 0 and 2^-125 for n <= 0 (0x7f000000 + 0x82000000 wraps
  // to 0x01000000); s' = 2^(n - 127) or 2^(n + 125), the exponent field of
  // e less B's offset.
  const uint32x4_t offset = vandq_u32(vcleq_f32(n, vdupq_n_f32(0.0f)), vdupq_n_u32(0x82000000u));
  const float32x4_t b = vreinterpretq_f32_u32(vaddq_u32(offset, vdupq_n_u32(0x7f000000u)));
  const float32x4_t s_prime = vreinterpretq_f32_u32(vsubq_u32(e, offset));
  const uint32x4_t huge = vcgtq_f32(abs_n, vdupq_n_f32(192.0f));
  const float32x4_t scaled = vmulq_f32(mul_add(s_prime, p, s_prime), b);
  const float32x4_t far = vmulq_f32(b, b);  // +inf or 0
  const float32x4_t special = vbslq_f32(huge, far, scaled);
  return vbslq_f32(large, special, mul_add(s, p, s));
}

}  // namespace

void softmax_f32_neon(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const float *x = static_cast<const float *>(task.x) + r * cols;
    float *out = static_cast<float *>(task.out) + r * cols;
    float32x4_t lane_maximum = vld1q_f32(x);
    for (uint64_t j = 4; j < cols; j += 4) lane_maximum = vmaxq_f32(lane_maximum, vld1q_f32(x + j));
    float32x2_t maximum2 = vpmax_f32(vget_low_f32(lane_maximum), vget_high_f32(lane_maximum));
    maximum2 = vpmax_f32(maximum2, maximum2);
    const float32x4_t maximum = vdupq_lane_f32(maximum2, 0);

    float32x4_t lane_sum = vdupq_n_f32(0.0f);
    for (uint64_t j = 0; j < cols; j += 4) {
      const float32x4_t e = exp_lanes(vsubq_f32(vld1q_f32(x + j), maximum));
      vst1q_f32(out + j, e);
      lane_sum = vaddq_f32(lane_sum, e);
    }
    // [s0 + s1, s2 + s3], then their sum.
    const float32x2_t pairs = vpadd_f32(vget_low_f32(lane_sum), vget_high_f32(lane_sum));
    const float sum = vget_lane_f32(pairs, 0) + vget_lane_f32(pairs, 1);
    const float32x4_t reciprocal = vdupq_n_f32(1.0f / sum);
    for (uint64_t j = 0; j < cols; j += 4) {
      vst1q_f32(out + j, vmulq_f32(vld1q_f32(out + j), reciprocal));
    }
  }
}

}  // namespace qx
