// dense_i8 / dense_acc_i8 in steps of 2 * kI32Lanes inputs: int8 weights
// widened to int16 and multiplied with x by pairs into 32-bit lanes
// (pmaddwd, or vpdpwssd where VNNI adds them too), summed with wrapping adds,
// so any order gives the reference's sum. Inputs beyond the last whole step
// take one masked step where the instruction set has masked loads
// (QX_SIMD_PARTIAL_STEPS), else are added one by one. Included once per
// instruction set after its simd_*.h, which names the functions.
#pragma once

#include <cstring>

#include "cpu/x86/dense_i8_store.h"
#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

constexpr int32_t kDenseStep = 2 * simd::kI32Lanes;  // int16 inputs per step

QX_SIMD_TARGET inline simd::I dense_step(simd::I acc, simd::I x, const int8_t *w) {
  return simd::dot_pairs_add(acc, x, simd::load_i8_as_i16(w));
}

#if defined(QX_SIMD_PARTIAL_STEPS)
// The last `rest` inputs of a row (0 < rest < kDenseStep), with x loaded
// the same way.
QX_SIMD_TARGET inline simd::I dense_partial_step(simd::I acc, simd::I x, const int8_t *w,
                                                 int32_t rest) {
  return simd::dot_pairs_add(acc, x, simd::load_partial_i8_as_i16(w, rest));
}
#endif

// Single-row outputs of four pairs (pair j: outputs o[j] and o[j] + 1), all
// fed by the same loads of x; bias, rounding and saturation four at a time.
QX_SIMD_TARGET inline void dense_four_pairs(const DenseTask &task, const int32_t (&o)[4]) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~(kDenseStep - 1);
  const int8_t *w0 = task.w + static_cast<int64_t>(o[0]) * n_in;
  const int8_t *w2 = task.w + static_cast<int64_t>(o[1]) * n_in;
  const int8_t *w4 = task.w + static_cast<int64_t>(o[2]) * n_in;
  const int8_t *w6 = task.w + static_cast<int64_t>(o[3]) * n_in;
  const int8_t *w1 = w0 + n_in;
  const int8_t *w3 = w2 + n_in;
  const int8_t *w5 = w4 + n_in;
  const int8_t *w7 = w6 + n_in;
  simd::I acc0 = simd::zero(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  simd::I acc4 = acc0, acc5 = acc0, acc6 = acc0, acc7 = acc0;
  for (int32_t k = 0; k < steps_end; k += kDenseStep) {
    const simd::I x = simd::load(task.x + k);
    acc0 = dense_step(acc0, x, w0 + k);
    acc1 = dense_step(acc1, x, w1 + k);
    acc2 = dense_step(acc2, x, w2 + k);
    acc3 = dense_step(acc3, x, w3 + k);
    acc4 = dense_step(acc4, x, w4 + k);
    acc5 = dense_step(acc5, x, w5 + k);
    acc6 = dense_step(acc6, x, w6 + k);
    acc7 = dense_step(acc7, x, w7 + k);
  }
  int32_t tail_begin = steps_end;
#if defined(QX_SIMD_PARTIAL_STEPS)
  if (steps_end < n_in) {
    const int32_t k = steps_end;
    const int32_t rest = n_in - k;
    const simd::I x = simd::load_partial_i16(task.x + k, rest);
    acc0 = dense_partial_step(acc0, x, w0 + k, rest);
    acc1 = dense_partial_step(acc1, x, w1 + k, rest);
    acc2 = dense_partial_step(acc2, x, w2 + k, rest);
    acc3 = dense_partial_step(acc3, x, w3 + k, rest);
    acc4 = dense_partial_step(acc4, x, w4 + k, rest);
    acc5 = dense_partial_step(acc5, x, w5 + k, rest);
    acc6 = dense_partial_step(acc6, x, w6 + k, rest);
    acc7 = dense_partial_step(acc7, x, w7 + k, rest);
    tail_begin = n_in;
  }
#endif
  simd::I32x8 sums = simd::sums8(acc0, acc1, acc2, acc3, acc4, acc5, acc6, acc7);
  if (tail_begin < n_in) {
    const int8_t *const w[8] = {w0, w1, w2, w3, w4, w5, w6, w7};
    int32_t tails[8];
    for (int j = 0; j < 8; ++j) {
      tails[j] = static_cast<int32_t>(dense_dot_q17(w[j], task.x, tail_begin, n_in));
    }
    sums = simd::add8(sums, simd::load8_i32(tails));
  }
  dense_store_four_pairs(task, o, sums);
}

// Outputs o and o + 1 of the single row.
QX_SIMD_TARGET inline void dense_one_pair(const DenseTask &task, int32_t o) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~(kDenseStep - 1);
  const int8_t *w0 = task.w + static_cast<int64_t>(o) * n_in;
  const int8_t *w1 = w0 + n_in;
  simd::I acc0 = simd::zero();
  simd::I acc1 = simd::zero();
  for (int32_t k = 0; k < steps_end; k += kDenseStep) {
    const simd::I x = simd::load(task.x + k);
    acc0 = dense_step(acc0, x, w0 + k);
    acc1 = dense_step(acc1, x, w1 + k);
  }
  int32_t tail_begin = steps_end;
#if defined(QX_SIMD_PARTIAL_STEPS)
  if (steps_end < n_in) {
    const int32_t rest = n_in - steps_end;
    const simd::I x = simd::load_partial_i16(task.x + steps_end, rest);
    acc0 = dense_partial_step(acc0, x, w0 + steps_end, rest);
    acc1 = dense_partial_step(acc1, x, w1 + steps_end, rest);
    tail_begin = n_in;
  }
#endif
  const __m128i sums = simd::lane_sums(acc0, acc1, acc0, acc1);
  const auto s0 = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
  const auto s1 = static_cast<uint32_t>(_mm_extract_epi32(sums, 1));
  dense_store(task, static_cast<uint64_t>(o), o, s0 + dense_dot_q17(w0, task.x, tail_begin, n_in));
  dense_store(task, static_cast<uint64_t>(o) + 1, o + 1,
              s1 + dense_dot_q17(w1, task.x, tail_begin, n_in));
}

// The dot product of one weight row and one input row.
QX_SIMD_TARGET inline uint32_t dense_dot(const int8_t *w, const int16_t *x, int32_t n_in) {
  const int32_t steps_end = n_in & ~(kDenseStep - 1);
  simd::I acc = simd::zero();
  for (int32_t k = 0; k < steps_end; k += kDenseStep) {
    acc = dense_step(acc, simd::load(x + k), w + k);
  }
  int32_t tail_begin = steps_end;
#if defined(QX_SIMD_PARTIAL_STEPS)
  if (steps_end < n_in) {
    const int32_t rest = n_in - steps_end;
    acc = dense_partial_step(acc, simd::load_partial_i16(x + steps_end, rest), w + steps_end, rest);
    tail_begin = n_in;
  }
#endif
  const __m128i sums = simd::lane_sums(acc, acc, acc, acc);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) + dense_dot_q17(w, x, tail_begin, n_in);
}

}  // namespace

QX_SIMD_TARGET void QX_SIMD_NAME(dense_cells)(const DenseTask &task, uint64_t begin, uint64_t end) {
  const uint64_t n_out = static_cast<uint64_t>(task.n_out);
  for (uint64_t cell = begin; cell < end; ++cell) {
    const auto o = static_cast<int32_t>(cell % n_out);
    const int16_t *x_row = task.x + (cell / n_out) * static_cast<uint64_t>(task.n_in);
    dense_store(task, cell, o, dense_dot(task.w + static_cast<int64_t>(o) * task.n_in, x_row,
                                         task.n_in));
  }
}

// Four pairs at a time (this item's pairs p, p + items, p + 2 items and
// p + 3 items), so that each step of x feeds eight weight rows.
QX_SIMD_TARGET void QX_SIMD_NAME(dense_pairs)(const DenseTask &task, uint64_t item) {
  const uint64_t pairs = static_cast<uint64_t>(task.n_out) / 2;
  const uint64_t stride = task.items;
  uint64_t p = item;
  for (; p + 3 * stride < pairs; p += 4 * stride) {
    const auto o = static_cast<int32_t>(2 * p);
    const auto step = static_cast<int32_t>(2 * stride);
    dense_four_pairs(task, {o, o + step, o + 2 * step, o + 3 * step});
  }
  for (; p < pairs; p += stride) dense_one_pair(task, static_cast<int32_t>(2 * p));
  if ((task.n_out & 1) && item == 0) {
    const int32_t o = task.n_out - 1;
    dense_store(task, static_cast<uint64_t>(o), o,
                dense_dot(task.w + static_cast<int64_t>(o) * task.n_in, task.x, task.n_in));
  }
}

}  // namespace qx
