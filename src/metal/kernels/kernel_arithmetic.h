// The fixed-point formulas of runtime/fixed_point.h and
// runtime/operator_arithmetic.h, written once more in the subset of C++ that
// Metal Shading Language shares (no standard headers, no 64-bit literal
// macros, address-space-qualified pointers), because the shader library
// cannot include those headers. Statement for statement the same; the
// emulated-device tests compare every integer operator bit for bit with the
// reference operators, which run the originals.
//
// Included by orb_kernels.metal inside the kernels' scope, after the tables.
#pragma once

// Clamps to the int16 range; used wherever a Q10 value is stored.
inline qx_i16 sat16(qx_i32 value) {
  return static_cast<qx_i16>(value < -32768 ? -32768 : (value > 32767 ? 32767 : value));
}

// Sigmoid of a Q10 input as Q15 (11 ... 32755), interpolated between the
// table's samples every 64 Q10 steps and truncated.
inline qx_i32 sigmoid_q15(qx_i16 x_q10) {
  const qx_i32 b_q10 = x_q10 < -8192 ? -8192 : (x_q10 > 8128 ? 8128 : x_q10);
  const qx_i32 u = b_q10 & 16383;
  const qx_i32 i = u >> 6;
  const qx_i32 f = b_q10 & 63;
  const qx_i32 j = (u + 63) >> 6;
  return (QX_SIGMOID_TABLE[i] * (64 - f) + f * QX_SIGMOID_TABLE[j]) >> 6;
}

// tanh(x) = 2 sigmoid(2x) - 1, Q10 in, Q15 out.
inline qx_i32 tanh_q15(qx_i16 x_q10) {
  return 2 * sigmoid_q15(sat16(2 * static_cast<qx_i32>(x_q10))) - 32768;
}

// A Q62 product rounded half up to Q31, saturated.
inline qx_i32 round_q31(qx_i64 p_q62) {
  const qx_i64 largest_below_overflow = static_cast<qx_i64>(0x3FFFFFFFBFFFFFFF);
  const qx_i64 smallest_above_underflow = -static_cast<qx_i64>(0x4000000040000000);
  if (p_q62 > largest_below_overflow) return 2147483647;
  if (p_q62 < smallest_above_underflow) return -2147483647 - 1;
  return static_cast<qx_i32>((p_q62 + (static_cast<qx_i64>(1) << 30)) >> 31);
}

// e^(-h / 1024) as Q31 for h clamped to 0 ... 16383.
inline qx_i32 exp_q31(qx_i32 h) {
  const qx_i32 h_clamped = h < 0 ? 0 : (h > 16383 ? 16383 : h);
  const qx_i64 p_q62 = static_cast<qx_i64>(QX_EXP_LSB_TABLE[h_clamped & 127]) *
                       QX_EXP_MSB_TABLE[h_clamped >> 7];
  return round_q31(p_q62);
}

// add_i16: saturated Q10 sum.
inline qx_i16 add_q10(qx_i16 a_q10, qx_i16 b_q10) {
  return sat16(static_cast<qx_i32>(a_q10) + b_q10);
}

// dense_i8 / dense_acc_i8: one output from its wrapping 32-bit dot product.
inline qx_i16 dense_output_q10(qx_u32 dot_q17, qx_i8 bias_q7, bool accumulate,
                               qx_i16 previous_q10) {
  const qx_u32 acc_q17 = dot_q17 + static_cast<qx_u32>(bias_q7 * 1024);
  const qx_i32 v_q10 = static_cast<qx_i32>(acc_q17 + 64u) >> 7;
  return sat16(accumulate ? previous_q10 + v_q10 : v_q10);
}

// standardize_i16: (x - shift) * scale with a Q10 scale, saturated.
inline qx_i16 standardize_q10(qx_i16 x_q10, qx_i16 shift_q10, qx_i16 scale_q10) {
  const qx_i32 centred_q10 = x_q10 - shift_q10;
  return sat16((centred_q10 * scale_q10) >> 10);
}
