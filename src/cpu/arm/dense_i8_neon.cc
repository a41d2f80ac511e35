// dense_i8 / dense_acc_i8 over whole steps of 8 inputs: int8 weights widened
// to int16, multiplied with x into 32-bit lanes by vmlal (wrapping adds, so
// any order gives the reference's sum); inputs beyond the last whole step
// are added one by one.
#include <arm_neon.h>

#include "cpu/arm/arm_kernels.h"

namespace qx {
namespace {

constexpr int32_t kDenseStep = 8;  // int16 inputs per step

inline int32x4_t dense_step(int32x4_t acc, int16x8_t x, const int8_t *w) {
  const int16x8_t w16 = vmovl_s8(vld1_s8(w));
  acc = vmlal_s16(acc, vget_low_s16(x), vget_low_s16(w16));
  return vmlal_s16(acc, vget_high_s16(x), vget_high_s16(w16));
}

inline uint32_t lane_sum(int32x4_t acc) {
  const int32x2_t pairs = vpadd_s32(vget_low_s32(acc), vget_high_s32(acc));
  return static_cast<uint32_t>(vget_lane_s32(vpadd_s32(pairs, pairs), 0));
}

// The dot product of one weight row and one input row.
inline uint32_t dense_dot(const int8_t *w, const int16_t *x, int32_t n_in) {
  const int32_t steps_end = n_in & ~(kDenseStep - 1);
  int32x4_t acc = vdupq_n_s32(0);
  for (int32_t k = 0; k < steps_end; k += kDenseStep) {
    acc = dense_step(acc, vld1q_s16(x + k), w + k);
  }
  return lane_sum(acc) + dense_dot_q17(w, x, steps_end, n_in);
}

// Outputs o and o + 1 of the single row, both fed by the same loads of x.
inline void dense_one_pair(const DenseTask &task, int32_t o) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~(kDenseStep - 1);
  const int8_t *w0 = task.w + static_cast<int64_t>(o) * n_in;
  const int8_t *w1 = w0 + n_in;
  int32x4_t acc0 = vdupq_n_s32(0);
  int32x4_t acc1 = acc0;
  for (int32_t k = 0; k < steps_end; k += kDenseStep) {
    const int16x8_t x = vld1q_s16(task.x + k);
    acc0 = dense_step(acc0, x, w0 + k);
    acc1 = dense_step(acc1, x, w1 + k);
  }
  dense_store(task, static_cast<uint64_t>(o), o,
              lane_sum(acc0) + dense_dot_q17(w0, task.x, steps_end, n_in));
  dense_store(task, static_cast<uint64_t>(o) + 1, o + 1,
              lane_sum(acc1) + dense_dot_q17(w1, task.x, steps_end, n_in));
}

}  // namespace

void dense_cells_neon(const DenseTask &task, uint64_t begin, uint64_t end) {
  const uint64_t n_out = static_cast<uint64_t>(task.n_out);
  for (uint64_t cell = begin; cell < end; ++cell) {
    const auto o = static_cast<int32_t>(cell % n_out);
    const int16_t *x_row = task.x + (cell / n_out) * static_cast<uint64_t>(task.n_in);
    dense_store(task, cell, o,
                dense_dot(task.w + static_cast<int64_t>(o) * task.n_in, x_row, task.n_in));
  }
}

void dense_pairs_neon(const DenseTask &task, uint64_t item) {
  const uint64_t pairs = static_cast<uint64_t>(task.n_out) / 2;
  for (uint64_t p = item; p < pairs; p += task.items) {
    dense_one_pair(task, static_cast<int32_t>(2 * p));
  }
  if ((task.n_out & 1) && item == 0) {
    const int32_t o = task.n_out - 1;
    dense_store(task, static_cast<uint64_t>(o), o,
                dense_dot(task.w + static_cast<int64_t>(o) * task.n_in, task.x, task.n_in));
  }
}

}  // namespace qx
