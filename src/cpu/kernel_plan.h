// How the CPU's optimised operators cut their work into items and which of
// the backend's kernel variants (kernel_set.h) they run: functions of the
// thread count, the variants and the operand shapes only, so that tests can
// check every choice.
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
#include "cpu/kernel_set.h"
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

// Runs kernel(task, item) for every item: on the pool when `threads.pooled`
// and there are several items, else in order on the calling thread.
void run_kernel_items(const CpuBackend &backend, KernelThreads threads, PoolKernel kernel,
                      const void *task, uint64_t items);

// The add variants are chosen per item from its length.
uint64_t add_item_count(KernelThreads threads, uint64_t count);

struct DensePlan {
  DenseCellsFn cells;  // rows > 1, or the portable single-row path
  DensePairsFn pairs;  // single-row pair kernels
  uint64_t items;
};
// rows > 1: the set's row kernel. rows = 1 where the set has pair kernels:
// those, with max(1, min(n_out / 2, N^2)) items, even without a pool; else,
// and for dense_acc_i8 with a single output, the portable cell kernel. Rows
// of kDenseWideMinInputs inputs or more take the set's 512-bit variants
// where it has them; single rows of kDenseBytesMinInputs or more and
// kDenseBytesMinOutputs outputs or more its byte variant before those.
DensePlan plan_dense(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                     int32_t n_out, int32_t n_in, bool accumulate);

// Below this many inputs a 512-bit dense step does not pay for its wider
// reduction and its masked last step: on a processor with AVX-512 VNNI and
// AVX-VNNI, 240 rows of 96 inputs ran faster on 256 bits and of 112 faster on
// 512 (BM_dense_width in bench/cpu_kernels_bench.cc measures the crossing).
constexpr int32_t kDenseWideMinInputs = 112;

// From here a single row's byte variant beat both vpdpwssd widths at every
// length BM_dense_width measures (64 to 256 inputs, 240 outputs: 0.7x to
// 0.9x the time); shorter rows are mostly its masked last step.
constexpr int32_t kDenseBytesMinInputs = 64;
// Splitting x costs a few steps per call: the detector's 2 x 80 logits
// took 39 ns by bytes against 27 by vpdpwssd. From one four-pair group on,
// the split is shared by eight rows or more.
constexpr int32_t kDenseBytesMinOutputs = 8;

// The vector lstm variants finish lengths that are not whole steps cell by
// cell, so one variant serves every item.
uint64_t lstm_item_count(KernelThreads threads, int32_t n);

struct MatmulPlan {
  MatmulFn kernel;
  uint64_t items;
};
// The variant by k.
MatmulPlan plan_matmul(KernelThreads threads, const CpuKernelSet &kernels, int32_t m, int32_t n,
                       int32_t k);

struct RowsPlan {
  RowsFn kernel;
  uint64_t items;
};
// The variants by cols.
RowsPlan plan_softmax_f32(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                          int32_t cols);
RowsPlan plan_softmax_i16_to_q31(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                                 int32_t cols);
RowsPlan plan_standardize_i16(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                              int32_t cols);

namespace kernel_testing {
// The work below which operators do not use the pool; tests lower it to 0 to
// run every shape on the pool. Returns the previous value.
uint64_t set_parallel_threshold(uint64_t work);
uint64_t parallel_threshold();
}  // namespace kernel_testing

}  // namespace qx
