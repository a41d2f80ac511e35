// Task records and kernel variants of the CPU's nine optimised operators.
//
// A wrapper (cpu_kernels.cc) checks the operands, fills one task record on
// its stack and runs a kernel over `items` independent items, on the worker
// pool or on the calling thread. Kernels read the record, write only their
// own items' outputs and allocate nothing.
//
// Each operator has a portable variant (kernels/*_portable.cc) and, on x86,
// SSE4.1 and AVX2 variants (x86/*_sse41.cc, x86/*_avx2.cc) compiled for their
// instruction sets function by function. Integer variants give the reference
// operators' results bit for bit; float variants follow the summation orders
// written beside them.
#pragma once

#include <cstdint>

#include "runtime/fixed_point.h"

namespace qx {

// The flat-range split: item `item` of `count` covers units
// [item * units / count, (item + 1) * units / count). The product is taken
// in 128 bits so that it cannot wrap whatever the counts.
inline uint64_t share_begin(uint64_t units, uint64_t count, uint64_t item) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(units) * item / count);
}

// ---- add_f32, add_i16 ------------------------------------------------------------
// out[i] = a[i] + b[i] (int16: saturated). out may be a or b exactly.

struct AddTask {
  void *out;
  const void *a;
  const void *b;
  uint64_t count;  // elements
  uint64_t items;
  uint32_t isa_flags;  // the variant is chosen per item from its length
};

using AddF32Fn = void (*)(float *out, const float *a, const float *b, uint64_t n);
using AddI16Fn = void (*)(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);
void add_f32_portable(float *out, const float *a, const float *b, uint64_t n);
void add_i16_portable(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);

// ---- dense_i8, dense_acc_i8 ----------------------------------------------------------
// out[r][o] = sat16((accumulate ? out[r][o] : 0) + v) with
// v = (bias[o] * 1024 + sum_k W[o][k] x[r][k] + 64) >> 7 in wrapping 32 bits.

struct DenseTask;
// Cells [begin, end) of the flat rows x n_out range.
using DenseCellsFn = void (*)(const DenseTask &task, uint64_t begin, uint64_t end);
// One item of the single-row pair split: outputs 2a, 2a + 1, then 2 * items
// further on while a whole pair remains; item 0 also takes an odd last output.
using DensePairsFn = void (*)(const DenseTask &task, uint64_t item);

struct DenseTask {
  int16_t *out;
  const int16_t *x;
  const int8_t *w;
  const int8_t *bias;
  int32_t rows;
  int32_t n_out;
  int32_t n_in;
  bool accumulate;  // dense_acc_i8
  uint64_t items;
  DenseCellsFn cells;  // exactly one of cells and pairs is set
  DensePairsFn pairs;
};

// The last step of every variant: adds the bias to a finished 32-bit sum,
// rounds to Q10 and stores (saturated) into out[index].
inline void dense_store(const DenseTask &task, uint64_t index, int32_t o, uint32_t sum) {
  const uint32_t d = sum + static_cast<uint32_t>(task.bias[o] * 1024);
  const int32_t v_q10 = static_cast<int32_t>(d + 64u) >> 7;
  const int32_t stored = task.accumulate ? task.out[index] + v_q10 : v_q10;
  task.out[index] = sat16(stored);
}

// Wrapping 32-bit dot product of W row and x row over [k0, n_in), the scalar
// tail of every variant.
inline uint32_t dense_dot_tail(const int8_t *w, const int16_t *x, int32_t k0, int32_t n_in) {
  uint32_t sum = 0;
  for (int32_t k = k0; k < n_in; ++k)
    sum += static_cast<uint32_t>(w[k] * static_cast<int32_t>(x[k]));
  return sum;
}

void dense_cells_portable(const DenseTask &task, uint64_t begin, uint64_t end);

// ---- lstm_cell_i16 ----------------------------------------------------------------------
// Cells [begin, end) of one step of the recurrent cell, with the reference's
// table activations, roundings and saturation. The gates are only read.

struct LstmTask {
  int16_t *h;
  int16_t *cell;
  const int16_t *gates;  // z at 0, u at n, o at 2n
  int32_t n;
  uint64_t items;      // items of kLstmItemCells cells, the last may be shorter
  uint32_t isa_flags;  // the variant is chosen per item
};
constexpr int32_t kLstmItemCells = 128;

// Cell i exactly as the reference computes it: the vector variants' tail.
inline void lstm_cell_one(const LstmTask &task, int32_t i) {
  const int16_t *z_q10 = task.gates;
  const int32_t z_q15 = sigmoid_q15(z_q10[i]);
  const int32_t u_q15 = tanh_q15(z_q10[task.n + i]);
  const int32_t o_q15 = sigmoid_q15(z_q10[2 * task.n + i]);
  const int32_t kept_q10 = (task.cell[i] * (32767 - z_q15) + 16384) >> 15;
  const int32_t added_q10 = (z_q15 * u_q15 + 524288) >> 20;
  const int16_t cell_q10 = sat16(kept_q10 + added_q10);
  task.cell[i] = cell_q10;
  task.h[i] = static_cast<int16_t>((tanh_q15(cell_q10) * o_q15 + 524288) >> 20);
}

using LstmFn = void (*)(const LstmTask &task, int32_t begin, int32_t end);
void lstm_cell_i16_portable(const LstmTask &task, int32_t begin, int32_t end);

// ---- matmul_f32 ---------------------------------------------------------------------------
// Cell i of the flat M x N range: out[m][n] = sum_k x[m][k] W[n][k].

struct MatmulTask;
using MatmulFn = void (*)(const MatmulTask &task, uint64_t begin, uint64_t end);

struct MatmulTask {
  float *out;
  const float *x;
  const float *w;
  int32_t m;
  int32_t n;
  int32_t k;
  uint64_t items;
  MatmulFn kernel;
};

// One float sum from 0.0f, products added in k order: the reference's result.
void matmul_f32_portable(const MatmulTask &task, uint64_t begin, uint64_t end);

// ---- softmax_f32, softmax_i16_to_q31, standardize_i16 --------------------------------------
// Rows are the work units.

struct RowsTask;
using RowsFn = void (*)(const RowsTask &task, uint64_t begin, uint64_t end);

struct RowsTask {
  void *out;
  const void *x;
  const int16_t *shift;  // standardize_i16 only
  const int16_t *scale;
  int32_t rows;
  int32_t cols;
  uint64_t items;
  RowsFn kernel;
};

// Maximum from the first element on (NaN operands ignored); e_j = exp(x_j - m)
// by the double-precision exponential, stored as float; the sum in order;
// out_j = e_j * (1 / sum).
void softmax_f32_portable(const RowsTask &task, uint64_t begin, uint64_t end);
void softmax_i16_to_q31_portable(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_portable(const RowsTask &task, uint64_t begin, uint64_t end);

// ---- The x86 variants ------------------------------------------------------------------------

#if defined(__x86_64__)
#define QX_X86_KERNELS 1

void add_f32_sse41(float *out, const float *a, const float *b, uint64_t n);        // n % 4 == 0
void add_f32_avx2(float *out, const float *a, const float *b, uint64_t n);         // n % 8 == 0
void add_i16_sse41(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);  // n % 8 == 0
void add_i16_avx2(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);   // n % 16 == 0

// Any n_in: 8 (SSE4.1) or 16 (AVX2) products per step, then a scalar tail.
void dense_cells_sse41(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_cells_avx2(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_pairs_sse41(const DenseTask &task, uint64_t item);
void dense_pairs_avx2(const DenseTask &task, uint64_t item);

// 8 (SSE4.1) or 16 (AVX2) cells per step, then the portable cell for the rest.
void lstm_cell_i16_sse41(const LstmTask &task, int32_t begin, int32_t end);
void lstm_cell_i16_avx2(const LstmTask &task, int32_t begin, int32_t end);

// k % 32 == 0: four 8-lane accumulators, step t adding elements 32t + 8b + j
// to accumulator b by fused multiply-add; then g = (acc2 + acc3) + (acc0 + acc1),
// h_j = g_(j+4) + g_j and the result (h0 + h1) + (h2 + h3).
void matmul_f32_avx2_fma(const MatmulTask &task, uint64_t begin, uint64_t end);

// cols % 4 == 0 (SSE4.1) or % 8 == 0 (AVX2): the vector exponential.
void softmax_f32_sse41(const RowsTask &task, uint64_t begin, uint64_t end);
void softmax_f32_avx2(const RowsTask &task, uint64_t begin, uint64_t end);
// cols % 8 == 0 (SSE4.1) or % 16 == 0 (AVX2).
void softmax_i16_to_q31_sse41(const RowsTask &task, uint64_t begin, uint64_t end);
void softmax_i16_to_q31_avx2(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_sse41(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_avx2(const RowsTask &task, uint64_t begin, uint64_t end);

#endif

}  // namespace qx
