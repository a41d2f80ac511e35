// How the CPU's optimised operators cut their work into items and pick
// kernel variants: functions of the backend's thread count and feature bits
// and of the operand shapes only, so that tests can check every choice.
//
// Item counts with a pool (thread count N):
//   add_f32, add_i16      min(N, max(1, count / 131072)) items of elements
//   dense_*, rows > 1     min(rows * n_out, N^2) items of cells
//   dense_*, rows = 1     pairs of outputs, see plan_dense
//   matmul_f32            min(M * N_out, N^2) items of cells
//   lstm_cell_i16         ceil(n / 128) items of 128 cells
//   softmax_*             min(rows, N^2) items of rows
//   standardize_i16       min(N^2, max(1, rows / 1024)) items of rows
// Without a pool every operator is one item, except single-row dense layers.
//
// Operators whose work is small are planned as for a single thread without a
// pool, one item on the calling thread: waking the workers would cost more
// than they save (see kernel_threads).
#pragma once

#include <cstdint>

#include "cpu/cpu_backend.h"
#include "cpu/kernels/kernel_tasks.h"
#include "cpu/thread_pool.h"

namespace qx {

// The threads an operator call cuts its items for.
struct KernelThreads {
  uint64_t count;  // the backend's thread count, at least 1
  bool pooled;     // items go to the worker pool (it exists and has 2+ threads)
};

// `work` estimates the call's cost in multiply-accumulate steps. Below the
// parallel threshold the call is planned as on one thread without a pool.
KernelThreads kernel_threads(const CpuBackend &backend, uint64_t work);

// The feature bits the kernels may use: the backend's, less AVX2 where its
// variants (which also use FMA and 256-bit registers) cannot run.
uint32_t usable_isa_flags(uint32_t isa_flags);

// Runs kernel(task, item) for every item: on the pool when `threads.pooled`
// and there are several items, else in order on the calling thread.
void run_kernel_items(const CpuBackend &backend, KernelThreads threads, PoolKernel kernel,
                      const void *task, uint64_t items);

uint64_t add_item_count(KernelThreads threads, uint64_t count);
// Variants chosen per item from its length: AVX2 for multiples of 8 (f32) or
// 16 (i16), else SSE4.1 for multiples of 4 or 8, else the plain loop.
AddF32Fn choose_add_f32(uint32_t isa_flags, uint64_t length);
AddI16Fn choose_add_i16(uint32_t isa_flags, uint64_t length);

struct DensePlan {
  DenseCellsFn cells;  // rows > 1, or the portable single-row path
  DensePairsFn pairs;  // single-row pair kernels
  uint64_t items;
};
// rows > 1: cell kernels (AVX2, SSE4.1 or portable). rows = 1 with AVX2 or
// SSE4.1: pair kernels with max(1, min(n_out / 2, N^2)) items, even without a
// pool; dense_acc_i8 with a single output takes the portable cell kernel.
DensePlan plan_dense(KernelThreads threads, uint32_t isa_flags, int32_t rows, int32_t n_out,
                     bool accumulate);

uint64_t lstm_item_count(KernelThreads threads, int32_t n);
// Per item: AVX2 (16 cells per step), else SSE4.1 (8), else portable; the
// vector variants finish lengths that are not whole steps cell by cell.
LstmFn choose_lstm(uint32_t isa_flags);

struct MatmulPlan {
  MatmulFn kernel;
  uint64_t items;
};
// The fused AVX2 kernel for k a multiple of 32, else the portable one.
MatmulPlan plan_matmul(KernelThreads threads, uint32_t isa_flags, int32_t m, int32_t n, int32_t k);

struct RowsPlan {
  RowsFn kernel;
  uint64_t items;
};
// AVX2 for cols a multiple of 8, else SSE4.1 for a multiple of 4, else portable.
RowsPlan plan_softmax_f32(KernelThreads threads, uint32_t isa_flags, int32_t rows, int32_t cols);
// AVX2 for cols a multiple of 16, else SSE4.1 for a multiple of 8, else portable.
RowsPlan plan_softmax_i16_to_q31(KernelThreads threads, uint32_t isa_flags, int32_t rows,
                                 int32_t cols);
RowsPlan plan_standardize_i16(KernelThreads threads, uint32_t isa_flags, int32_t rows,
                              int32_t cols);

namespace kernel_testing {
// The work below which operators do not use the pool; tests lower it to 0 to
// run every shape on the pool. Returns the previous value.
uint64_t set_parallel_threshold(uint64_t work);
uint64_t parallel_threshold();
}  // namespace kernel_testing

}  // namespace qx
