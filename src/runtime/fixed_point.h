// Fixed-point vocabulary of the integer network: Q10 layer values (int16),
// Q7 weights (int8), Q15 gates and Q31 probabilities. Names say width and
// rounding; variables carry their format as a suffix (h_q10, gate_q15).
//
// Shared by the reference operators and the CPU vector kernels, which must
// agree bit for bit. Right shifts of signed values are arithmetic.
#pragma once

#include <cstdint>

#include "runtime/fixed_point_tables.h"
#include "runtime/host_device.h"

namespace qx {

// Clamps to the int16 range; used wherever a Q10 value is stored.
QX_HOST_DEVICE constexpr int16_t sat16(int32_t value) {
  return static_cast<int16_t>(value < -32768 ? -32768 : (value > 32767 ? 32767 : value));
}

// Sigmoid of a Q10 input as Q15, 11 ... 32755. The table samples the curve
// every 1/16 (64 Q10 steps) over [-8, 8); between samples the result is
// interpolated linearly in 1/64 steps and truncated.
QX_HOST_DEVICE inline int32_t sigmoid_q15(int16_t x_q10) {
  const int32_t b_q10 = x_q10 < -8192 ? -8192 : (x_q10 > 8128 ? 8128 : x_q10);
  // Low 14 bits in two's complement: negative inputs index the table's upper
  // half (entries 128 ... 256), which holds sigmoid(s) for s < 0.
  const int32_t u = b_q10 & 16383;
  const int32_t i = u >> 6;
  const int32_t f = b_q10 & 63;
  const int32_t j = (u + 63) >> 6;  // i, or i + 1 (at most 256) between samples
  return (QX_TABLE(QX_SIGMOID_TABLE)[i] * (64 - f) + f * QX_TABLE(QX_SIGMOID_TABLE)[j]) >> 6;
}

// tanh(x) = 2 sigmoid(2x) - 1, Q10 in, Q15 out: -32746 ... 32742.
QX_HOST_DEVICE inline int32_t tanh_q15(int16_t x_q10) {
  return 2 * sigmoid_q15(sat16(2 * static_cast<int32_t>(x_q10))) - 32768;
}

// A 64-bit product of two Q31 values, rounded half up to Q31. Products whose
// rounded value would pass 2^31 - 1 give 2^31 - 1; those below -2^31 give
// -2^31 (the network's products are never negative).
QX_HOST_DEVICE constexpr int32_t round_q31(int64_t p_q62) {
  constexpr int64_t kLargestBelowOverflow = INT64_C(0x3FFFFFFFBFFFFFFF);
  constexpr int64_t kSmallestAboveUnderflow = -INT64_C(0x4000000040000000);
  if (p_q62 > kLargestBelowOverflow) return INT32_MAX;
  if (p_q62 < kSmallestAboveUnderflow) return INT32_MIN;
  return static_cast<int32_t>((p_q62 + (INT64_C(1) << 30)) >> 31);
}

// e^(-h / 1024) as Q31 for h in 0 ... 16383, from two 128-entry tables:
// e^(-(h mod 128) / 1024) times e^(-(h div 128) / 8). Larger h saturate to
// the value at 16383 (242); negative h to the value at 0.
QX_HOST_DEVICE inline int32_t exp_q31(int32_t h) {
  const int32_t h_clamped = h < 0 ? 0 : (h > 16383 ? 16383 : h);
  const int64_t p_q62 =
      static_cast<int64_t>(QX_TABLE(QX_EXP_LSB_TABLE)[h_clamped & 127]) *
                        QX_TABLE(QX_EXP_MSB_TABLE)[h_clamped >> 7];
  return round_q31(p_q62);
}

}  // namespace qx
