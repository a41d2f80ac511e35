// The 13 compute kernels of the Metal backend, one per compute opcode, named
// as the backend looks them up. Compiled as Metal Shading Language into the
// embedded shader library (macOS build) and as C++ for the emulator; see
// kernel_prelude.h for the few words that differ.
//
// Bindings and grids are the backend's (metal_backend.cc): immediates by
// setBytes first, then the tensors at their byte offsets. Thread positions
// outside the operator's extent return at once. Every kernel computes its
// elements in the order of the reference operator, so the integer kernels
// give its results bit for bit. Work that a row or a dot product shares is
// done by one thread of its group, which keeps the kernels free of barriers
// and SIMD reductions (and the emulator free of lockstep threads).
#include "metal/kernels/kernel_prelude.h"

QX_KERNELS_BEGIN

#include "metal/kernels/kernel_tables.h"
#include "metal/kernels/kernel_arithmetic.h"

// Whether a thread position lies inside an extent of n (none when n <= 0).
inline bool inside(qx_u32 position, qx_i32 n) {
  return n > 0 && position < static_cast<qx_u32>(n);
}

// add_f32: out[i] = a[i] + b[i]; threads (count, 1, 1).
QX_KERNEL taabe4(QX_BYTES(qx_i32, count, 0), QX_OUTPUT(float, out, 1), QX_INPUT(float, a, 2),
                 QX_INPUT(float, b, 3), QX_THREAD_POSITION(position)) {
  const qx_i32 n = count;
  if (!inside(position.x, n)) return;
  out[position.x] = a[position.x] + b[position.x];
}

// add_i16: saturated; threads (count, 1, 1).
QX_KERNEL taabe236(QX_BYTES(qx_i32, count, 0), QX_OUTPUT(qx_i16, out, 1),
                   QX_INPUT(qx_i16, a, 2), QX_INPUT(qx_i16, b, 3),
                   QX_THREAD_POSITION(position)) {
  const qx_i32 n = count;
  if (!inside(position.x, n)) return;
  out[position.x] = add_q10(a[position.x], b[position.x]);
}

// dense_i8 / dense_acc_i8: groups ((outputs + 15) / 16, rows, 1) of
// (w, 16, 1); output o = 16 * group.x + thread.y of row group.y, summed by
// lane 0 of its SIMD-group in a wrapping 32-bit accumulator.
inline void dense_output(bool accumulate, qx_i32 outputs, qx_i32 inputs,
                         QX_DEVICE qx_i16 *out_q10, const QX_DEVICE qx_i16 *x_q10,
                         const QX_DEVICE qx_i8 *w_q7, const QX_DEVICE qx_i8 *bias_q7,
                         qx_u32 row, qx_u32 lane, qx_u32 output) {
  if (lane != 0 || !inside(output, outputs)) return;
  const QX_DEVICE qx_i8 *w_row = w_q7 + static_cast<qx_i64>(output) * inputs;
  const QX_DEVICE qx_i16 *x_row = x_q10 + static_cast<qx_i64>(row) * inputs;
  qx_u32 dot_q17 = 0;
  for (qx_i32 k = 0; k < inputs; ++k) {
    dot_q17 += static_cast<qx_u32>(w_row[k] * static_cast<qx_i32>(x_row[k]));
  }
  QX_DEVICE qx_i16 *y = out_q10 + static_cast<qx_i64>(row) * outputs + output;
  *y = dense_output_q10(dot_q17, bias_q7[output], accumulate, *y);
}

QX_KERNEL taabe99(QX_BYTES(qx_i32, outputs, 0), QX_BYTES(qx_i32, inputs, 1),
                  QX_OUTPUT(qx_i16, out, 2), QX_INPUT(qx_i16, x, 3), QX_INPUT(qx_i8, w, 4),
                  QX_INPUT(qx_i8, bias, 5), QX_GROUP_POSITION(group),
                  QX_THREAD_IN_GROUP(thread)) {
  dense_output(true, outputs, inputs, out, x, w, bias, group.y, thread.x,
               group.x * 16 + thread.y);
}

QX_KERNEL taabe90(QX_BYTES(qx_i32, outputs, 0), QX_BYTES(qx_i32, inputs, 1),
                  QX_OUTPUT(qx_i16, out, 2), QX_INPUT(qx_i16, x, 3), QX_INPUT(qx_i8, w, 4),
                  QX_INPUT(qx_i8, bias, 5), QX_GROUP_POSITION(group),
                  QX_THREAD_IN_GROUP(thread)) {
  dense_output(false, outputs, inputs, out, x, w, bias, group.y, thread.x,
               group.x * 16 + thread.y);
}

// gelu_f32 (sigmoid form, 1.702 x); threads (count, 1, 1).
QX_KERNEL taabe123(QX_BYTES(qx_i32, count, 0), QX_OUTPUT(float, out, 1), QX_INPUT(float, x, 2),
                   QX_THREAD_POSITION(position)) {
  const qx_i32 n = count;
  if (!inside(position.x, n)) return;
  const float v = x[position.x];
  const float d = 1.702f * v;
  if (d >= 0.0f) {
    out[position.x] = v / (QX_EXP(-d) + 1.0f);
  } else {
    const float t = QX_EXP(d);
    out[position.x] = t / (t + 1.0f) * v;
  }
}

// normalize_f32_to_i16: one column per thread, over all rows; threads
// (columns, 1, 1). The epsilon immediate's bits are read as the float.
QX_KERNEL taabe229(QX_BYTES(qx_i32, rows, 0), QX_BYTES(qx_i32, columns, 1),
                   QX_BYTES(float, epsilon, 2), QX_OUTPUT(qx_i16, out, 3),
                   QX_INPUT(float, x, 4), QX_THREAD_POSITION(position)) {
  const qx_i32 n_rows = rows;
  const qx_i32 n_columns = columns;
  if (n_rows <= 0 || !inside(position.x, n_columns)) return;
  const qx_i64 j = position.x;
  const float n = static_cast<float>(n_rows);
  float sum = 0.0f;
  for (qx_i32 r = 0; r < n_rows; ++r) sum += x[static_cast<qx_i64>(r) * n_columns + j];
  const float mean = sum / n;
  float variance = 0.0f;
  for (qx_i32 r = 0; r < n_rows; ++r) {
    const float d = x[static_cast<qx_i64>(r) * n_columns + j] - mean;
    variance += d * d;
  }
  variance = variance / n;
  const float eps = epsilon;
  const float inverse_sd = 1.0f / QX_SQRT(variance + eps);
  for (qx_i32 r = 0; r < n_rows; ++r) {
    const qx_i64 at = static_cast<qx_i64>(r) * n_columns + j;
    const float y = ((x[at] - mean) * inverse_sd) * 1024.0f;
    qx_i16 q = 0;  // NaN
    if (y >= 32767.0f) {
      q = 32767;
    } else if (y <= -32768.0f) {
      q = -32768;
    } else if (y == y) {
      q = static_cast<qx_i16>(y);
    }
    out[at] = q;
  }
}

// lstm_cell_i16: gates z, u, o of width n each; the cell is updated before
// h reads it; threads (n, 1, 1).
QX_KERNEL taabe263(QX_BYTES(qx_i32, width, 0), QX_OUTPUT(qx_i16, h_q10, 1),
                   QX_OUTPUT(qx_i16, cell_q10, 2), QX_INPUT(qx_i16, gates_q10, 3),
                   QX_THREAD_POSITION(position)) {
  const qx_i32 n = width;
  if (!inside(position.x, n)) return;
  const qx_u32 i = position.x;
  const qx_i32 z_q15 = sigmoid_q15(gates_q10[i]);
  const qx_i32 u_q15 = tanh_q15(gates_q10[n + i]);
  const qx_i32 o_q15 = sigmoid_q15(gates_q10[2 * n + i]);
  const qx_i32 kept_q10 = (cell_q10[i] * (32767 - z_q15) + 16384) >> 15;
  const qx_i32 added_q10 = (z_q15 * u_q15 + 524288) >> 20;
  const qx_i16 cell = sat16(kept_q10 + added_q10);
  cell_q10[i] = cell;
  h_q10[i] = static_cast<qx_i16>((tanh_q15(cell) * o_q15 + 524288) >> 20);
}

// matmul_f32: out[m][n] = sum over k of x[m][k] W[n][k], in increasing k
// from 0; threads (1, M, N).
QX_KERNEL taabe114(QX_BYTES(qx_i32, m_rows, 0), QX_BYTES(qx_i32, n_outputs, 1),
                   QX_BYTES(qx_i32, k_inputs, 2), QX_OUTPUT(float, out, 3),
                   QX_INPUT(float, x, 4), QX_INPUT(float, w, 5), QX_THREAD_POSITION(position)) {
  const qx_i32 m_count = m_rows;
  const qx_i32 n_count = n_outputs;
  const qx_i32 k_count = k_inputs > 0 ? static_cast<qx_i32>(k_inputs) : 0;
  if (!inside(position.y, m_count) || !inside(position.z, n_count)) {
    return;
  }
  const QX_DEVICE float *x_row = x + static_cast<qx_i64>(position.y) * k_count;
  const QX_DEVICE float *w_row = w + static_cast<qx_i64>(position.z) * k_count;
  float sum = 0.0f;
  for (qx_i32 k = 0; k < k_count; ++k) sum += x_row[k] * w_row[k];
  out[static_cast<qx_i64>(position.y) * n_count + position.z] = sum;
}

// relu_f32; threads (count, 1, 1).
QX_KERNEL taabe144(QX_BYTES(qx_i32, count, 0), QX_OUTPUT(float, out, 1), QX_INPUT(float, x, 2),
                   QX_THREAD_POSITION(position)) {
  const qx_i32 n = count;
  if (!inside(position.x, n)) return;
  const float v = x[position.x];
  out[position.x] = v > 0.0f ? v : 0.0f;
}

// softmax_f32: one row per threadgroup, groups (rows, 1, 1); its first
// thread does the row in the reference order.
QX_KERNEL taabe243(QX_BYTES(qx_i32, columns, 0), QX_OUTPUT(float, out, 1),
                   QX_INPUT(float, x, 2), QX_GROUP_POSITION(group),
                   QX_THREAD_IN_GROUP(thread)) {
  const qx_i32 n = columns;
  if (thread.x != 0 || n <= 0) return;
  const qx_i64 start = static_cast<qx_i64>(group.x) * n;
  QX_DEVICE float *out_row = out + start;
  const QX_DEVICE float *x_row = x + start;
  float maximum = x_row[0];
  for (qx_i32 j = 1; j < n; ++j) maximum = QX_FMAX(maximum, x_row[j]);
  float sum = 0.0f;
  for (qx_i32 j = 0; j < n; ++j) {
    out_row[j] = QX_EXP(x_row[j] - maximum);
    sum += out_row[j];
  }
  const float reciprocal = 1.0f / sum;
  for (qx_i32 j = 0; j < n; ++j) out_row[j] = reciprocal * out_row[j];
}

// softmax_i16_to_q31: one row per threadgroup as above, in integers.
QX_KERNEL taabe142(QX_BYTES(qx_i32, columns, 0), QX_OUTPUT(qx_i32, out_q31, 1),
                   QX_INPUT(qx_i16, x_q10, 2), QX_GROUP_POSITION(group),
                   QX_THREAD_IN_GROUP(thread)) {
  const qx_i32 n = columns;
  if (thread.x != 0 || n <= 0) return;
  const qx_i64 start = static_cast<qx_i64>(group.x) * n;
  QX_DEVICE qx_i32 *out_row = out_q31 + start;
  const QX_DEVICE qx_i16 *x_row = x_q10 + start;
  qx_i32 maximum_q10 = x_row[0];
  for (qx_i32 j = 1; j < n; ++j) {
    if (x_row[j] > maximum_q10) maximum_q10 = x_row[j];
  }
  qx_i64 sum_q31 = 0;
  for (qx_i32 j = 0; j < n; ++j) {
    out_row[j] = exp_q31(maximum_q10 - x_row[j]);
    sum_q31 += out_row[j];
  }
  qx_i64 g_q31 = (static_cast<qx_i64>(1) << 62) / sum_q31;
  if (g_q31 > 2147483647) g_q31 = 2147483647;
  for (qx_i32 j = 0; j < n; ++j) out_row[j] = round_q31(g_q31 * out_row[j]);
}

// standardize_i16: per-column shift and Q10 scale; threads (columns, rows, 1).
QX_KERNEL taabe257(QX_BYTES(qx_i32, rows, 0), QX_BYTES(qx_i32, columns, 1),
                   QX_OUTPUT(qx_i16, out_q10, 2), QX_INPUT(qx_i16, x_q10, 3),
                   QX_INPUT(qx_i16, shift_q10, 4), QX_INPUT(qx_i16, scale_q10, 5),
                   QX_THREAD_POSITION(position)) {
  const qx_i32 n_rows = rows;
  const qx_i32 n_columns = columns;
  if (!inside(position.x, n_columns) || !inside(position.y, n_rows)) {
    return;
  }
  const qx_i64 at = static_cast<qx_i64>(position.y) * n_columns + position.x;
  out_q10[at] = standardize_q10(x_q10[at], shift_q10[position.x], scale_q10[position.x]);
}

// sum_rows_i16_to_f32: one column per thread, a wrapping 32-bit sum scaled
// by 2^-10; zero rows give 0; threads (columns, 1, 1).
QX_KERNEL taabe89(QX_BYTES(qx_i32, rows, 0), QX_BYTES(qx_i32, columns, 1),
                  QX_OUTPUT(float, out, 2), QX_INPUT(qx_i16, x_q10, 3),
                  QX_THREAD_POSITION(position)) {
  const qx_i32 n_rows = rows;
  const qx_i32 n_columns = columns;
  if (!inside(position.x, n_columns)) return;
  qx_u32 sum_q10 = 0;
  for (qx_i32 r = 0; r < n_rows; ++r) {
    sum_q10 += static_cast<qx_u32>(x_q10[static_cast<qx_i64>(r) * n_columns + position.x]);
  }
  out[position.x] = static_cast<float>(static_cast<qx_i32>(sum_q10)) * 0.0009765625f;
}

QX_KERNELS_END
