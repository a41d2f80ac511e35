// Task records and kernel variants of the CPU's nine optimised operators.
//
// A wrapper (cpu_kernels.cc) checks the operands, fills one task record on
// its stack and runs a kernel over `items` independent items, on the worker
// pool or on the calling thread. Kernels read the record, write only their
// own items' outputs and allocate nothing.
//
// Each operator has a portable variant (kernels/*_portable.cc), which runs
// the reference operator's formulas (runtime/operator_arithmetic.h), and, on
// x86, SSE4.1 and AVX2 variants (cpu/x86/) compiled for their instruction
// sets function by function. Which variants a backend uses is chosen once,
// when it is created (cpu/kernel_set.h). Integer variants give the reference
// operators' results bit for bit; float variants follow the summation orders
// written beside them.
#pragma once

#include <cstdint>

#include "cpu/fast_divide.h"
#include "runtime/operator_arithmetic.h"

namespace qx {

// The flat-range split: item `item` of `count` covers units
// [item * units / count, (item + 1) * units / count). The product is taken
// in 128 bits so that it cannot wrap whatever the counts.
inline uint64_t share_begin(uint64_t units, uint64_t count, uint64_t item) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 u128;
  return static_cast<uint64_t>(static_cast<u128>(units) * item / count);
#else
  // item <= count keeps the product's high word below count, so the
  // quotient fits in 64 bits.
  return divide_128_by_64(multiply_high_u64(units, item), units * item, count);
#endif
}

// ---- add_f32, add_i16 ------------------------------------------------------------
// out[i] = a[i] + b[i] (int16: saturated). out may be a or b exactly.

struct CpuKernelSet;

struct AddTask {
  void *out;
  const void *a;
  const void *b;
  uint64_t count;  // elements
  uint64_t items;
  const CpuKernelSet *kernels;  // the variant is chosen per item from its length
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

// The last step of every variant: output o of a finished wrapping 32-bit
// dot product, stored into out[index].
inline void dense_store(const DenseTask &task, uint64_t index, int32_t o, uint32_t dot_q17) {
  task.out[index] = dense_output_q10(dot_q17, task.bias[o], task.accumulate, task.out[index]);
}

void dense_cells_portable(const DenseTask &task, uint64_t begin, uint64_t end);

// ---- lstm_cell_i16 ----------------------------------------------------------------------
// Cells [begin, end) of one step of the recurrent cell, with the reference's
// table activations, roundings and saturation. The gates are only read.

struct LstmTask;
using LstmFn = void (*)(const LstmTask &task, int32_t begin, int32_t end);

struct LstmTask {
  int16_t *h;
  int16_t *cell;
  const int16_t *gates;  // z at 0, u at n, o at 2n
  int32_t n;
  uint64_t items;  // items of kLstmItemCells cells, the last may be shorter
  LstmFn kernel;
};
constexpr int32_t kLstmItemCells = 128;

// Cell i exactly as the reference computes it: the vector variants' tail.
inline void lstm_cell_one(const LstmTask &task, int32_t i) {
  lstm_cell_q10(task.gates[i], task.gates[task.n + i], task.gates[2 * task.n + i], &task.cell[i],
                &task.h[i]);
}

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

// The reference's row formulas (softmax_f32_row, softmax_i16_to_q31_row,
// standardize_q10), row by row.
void softmax_f32_portable(const RowsTask &task, uint64_t begin, uint64_t end);
void softmax_i16_to_q31_portable(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_portable(const RowsTask &task, uint64_t begin, uint64_t end);

}  // namespace qx
