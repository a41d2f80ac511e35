// The operators' formulas, one definition each. The reference operators and
// the CPU's portable kernels both run these, and the vector kernels use them
// for the elements their whole steps leave over, so a fix lands everywhere.
#pragma once

#include <cmath>
#include <cstdint>

#include "runtime/fixed_point.h"
#include "runtime/host_device.h"

namespace qx {

// add_i16: saturated Q10 sum.
QX_HOST_DEVICE inline int16_t add_q10(int16_t a_q10, int16_t b_q10) {
  return sat16(static_cast<int32_t>(a_q10) + b_q10);
}

// dense_i8: the wrapping 32-bit dot product of a Q7 weight row and a Q10
// input row over [k0, n). Unsigned arithmetic keeps a (far-fetched) overflow
// defined and wraps like the vector kernels' lanes do, so any order of
// summation gives this sum.
QX_HOST_DEVICE inline uint32_t dense_dot_q17(const int8_t *w_q7, const int16_t *x_q10, int32_t k0, int32_t n) {
  uint32_t acc_q17 = 0;
  for (int32_t k = k0; k < n; ++k) {
    acc_q17 += static_cast<uint32_t>(w_q7[k] * static_cast<int32_t>(x_q10[k]));
  }
  return acc_q17;
}

// dense_i8 / dense_acc_i8: one output from its finished dot product: the bias
// added at Q17, rounded to Q10 and, for dense_acc_i8, the unsaturated value
// (up to 2^24) added to the previous output before saturating.
QX_HOST_DEVICE inline int16_t dense_output_q10(uint32_t dot_q17, int8_t bias_q7, bool accumulate,
                                int16_t previous_q10) {
  const uint32_t acc_q17 = dot_q17 + static_cast<uint32_t>(bias_q7 * 1024);
  const int32_t v_q10 = static_cast<int32_t>(acc_q17 + 64u) >> 7;
  return sat16(accumulate ? previous_q10 + v_q10 : v_q10);
}

// lstm_cell_i16: one cell from its z, u, o gate inputs; updates the cell
// before h reads it. Q10 * Q15 -> Q10 (>> 15) and Q15 * Q15 -> Q10 (>> 20),
// rounded half up.
QX_HOST_DEVICE inline void lstm_cell_q10(int16_t z_q10, int16_t u_q10, int16_t o_q10, int16_t *cell_q10,
                          int16_t *h_q10) {
  const int32_t z_q15 = sigmoid_q15(z_q10);
  const int32_t u_q15 = tanh_q15(u_q10);
  const int32_t o_q15 = sigmoid_q15(o_q10);
  const int32_t kept_q10 = (*cell_q10 * (32767 - z_q15) + 16384) >> 15;
  const int32_t added_q10 = (z_q15 * u_q15 + 524288) >> 20;
  const int16_t cell = sat16(kept_q10 + added_q10);
  *cell_q10 = cell;
  *h_q10 = static_cast<int16_t>((tanh_q15(cell) * o_q15 + 524288) >> 20);
}

// gelu_f32 by its sigmoid approximation x * sigmoid(1.702 x), single
// precision throughout; the exponent is kept non-positive so e^ never
// overflows.
QX_HOST_DEVICE inline float gelu_f32_value(float x) {
  const float d = 1.702f * x;
  if (d >= 0.0f) return x / (std::exp(-d) + 1.0f);
  const float t = std::exp(d);
  return t / (t + 1.0f) * x;
}

// relu_f32: negative values, -0 and NaN all give +0.
QX_HOST_DEVICE inline float relu_f32_value(float x) { return x > 0.0f ? x : 0.0f; }

// normalize_f32_to_i16's Q10 conversion: saturates, truncates toward zero,
// and stores 0 for NaN (which no int16 represents).
QX_HOST_DEVICE inline int16_t q10_from_f32_saturated(float y) {
  if (y >= 32767.0f) return 32767;
  if (y <= -32768.0f) return -32768;
  if (std::isnan(y)) return 0;
  return static_cast<int16_t>(y);
}

// normalize_f32_to_i16 of column j of a rows x columns matrix (rows >= 1):
// mean and variance summed in increasing row in single precision, then each
// element scaled by 1 / sqrt(variance + epsilon) and stored as Q10.
QX_HOST_DEVICE inline void normalize_f32_column(int16_t *out_q10, const float *x, int32_t rows,
                                                int32_t columns, int32_t j, float epsilon) {
  const float n = static_cast<float>(rows);
  float sum = 0.0f;
  for (int32_t r = 0; r < rows; ++r) sum += x[static_cast<int64_t>(r) * columns + j];
  const float mean = sum / n;
  float variance = 0.0f;
  for (int32_t r = 0; r < rows; ++r) {
    const float d = x[static_cast<int64_t>(r) * columns + j] - mean;
    variance += d * d;
  }
  variance = variance / n;
  const float inverse_sd = 1.0f / std::sqrt(variance + epsilon);
  for (int32_t r = 0; r < rows; ++r) {
    const int64_t at = static_cast<int64_t>(r) * columns + j;
    out_q10[at] = q10_from_f32_saturated(((x[at] - mean) * inverse_sd) * 1024.0f);
  }
}

// matmul_f32: one float sum from 0.0f, products added in k order.
QX_HOST_DEVICE inline float dot_f32_in_order(const float *x, const float *w, int64_t k_count) {
  float sum = 0.0f;
  for (int64_t k = 0; k < k_count; ++k) sum += x[k] * w[k];
  return sum;
}

// softmax_f32 of one row (cols >= 1): the maximum from the first element on
// (NaN operands ignored), e_j = exp(x_j - max) in float, the sum in
// increasing j, then every e_j times 1 / sum. out may be x.
QX_HOST_DEVICE inline void softmax_f32_row(float *out, const float *x, int64_t cols) {
  float maximum = x[0];
  for (int64_t j = 1; j < cols; ++j) maximum = std::fmax(maximum, x[j]);
  float sum = 0.0f;
  for (int64_t j = 0; j < cols; ++j) {
    out[j] = std::exp(x[j] - maximum);
    sum += out[j];
  }
  const float reciprocal = 1.0f / sum;
  for (int64_t j = 0; j < cols; ++j) out[j] = reciprocal * out[j];
}

// softmax_i16_to_q31 of one row (cols >= 1) in integers.
QX_HOST_DEVICE inline void softmax_i16_to_q31_row(int32_t *out_q31, const int16_t *x_q10, int64_t cols) {
  int32_t maximum_q10 = x_q10[0];
  for (int64_t j = 1; j < cols; ++j) {
    if (x_q10[j] > maximum_q10) maximum_q10 = x_q10[j];
  }
  // Every term is at least e^(-16) (242 in Q31), so the sum is never 0;
  // the largest term is e^0 and keeps 2^62 / sum below 2^31 + 1.
  int64_t sum_q31 = 0;
  for (int64_t j = 0; j < cols; ++j) {
    out_q31[j] = exp_q31(maximum_q10 - x_q10[j]);  // h in 0 ... 65535, saturates at 16383
    sum_q31 += out_q31[j];
  }
  int64_t g_q31 = (INT64_C(1) << 62) / sum_q31;
  if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
  for (int64_t j = 0; j < cols; ++j) out_q31[j] = round_q31(g_q31 * out_q31[j]);
}

// standardize_i16: (x - shift) * scale with a Q10 scale, saturated.
// |x - shift| <= 65535 and |scale| <= 32768: the product fits 32 bits.
QX_HOST_DEVICE inline int16_t standardize_q10(int16_t x_q10, int16_t shift_q10, int16_t scale_q10) {
  const int32_t centred_q10 = x_q10 - shift_q10;
  return sat16((centred_q10 * scale_q10) >> 10);
}

}  // namespace qx
