#include "cpu/kernel_plan.h"

#include <atomic>


namespace qx {
namespace {

// The work (multiply-accumulates, or their equivalent) from which an
// operator goes to the worker pool. Measured with BM_dense_pool in
// bench/cpu_kernels_bench.cc on the development machine (2 cores of a
// Sapphire Rapids class server), whose cores are shared with other work:
//   - with other processes at nice 19 on both cores, two threads lost to
//     one for every layer up to 2^22 MACs (the classifier's at hidden 256,
//     2^18.6, took 1.7x the time; 2^21 and 2^22 tied) and first won at
//     2^23: the worker is often scheduled out, and a run waits for it
//     once it has entered;
//   - with the machine otherwise idle, two threads tied with one at 2^16.6
//     (hidden 128) and won from 2^18.6 (1.3x; 2.3x at 2^21).
// cpu:2 must never be slower than cpu:1, so the threshold follows the
// shared machine: every operator of a realistic model stays on the calling
// thread. On a machine whose second core is reliably free, 2^18 pays.
constexpr uint64_t kDefaultParallelThreshold = uint64_t{1} << 23;

std::atomic<uint64_t> parallel_threshold_work{kDefaultParallelThreshold};

uint64_t squared(uint64_t threads) { return threads * threads; }

uint64_t min_u64(uint64_t a, uint64_t b) { return a < b ? a : b; }
uint64_t max_u64(uint64_t a, uint64_t b) { return a > b ? a : b; }

}  // namespace

KernelThreads kernel_threads(const CpuBackend &backend, uint64_t work) {
  const uint64_t count = backend.thread_count > 1 ? static_cast<uint64_t>(backend.thread_count) : 1;
  const bool pool = backend.pool && count > 1 && thread_pool_thread_count(backend.pool) > 1;
  if (pool && work < parallel_threshold_work.load(std::memory_order_relaxed)) return {1, false};
  return {count, pool};
}

void run_kernel_items(const CpuBackend &backend, KernelThreads threads, PoolKernel kernel,
                      const void *task, uint64_t items) {
  if (items <= 1) {
    kernel(task, 0);
  } else if (threads.pooled) {
    thread_pool_run(backend.pool, kernel, task, items);
  } else {
    for (uint64_t item = 0; item < items; ++item) kernel(task, item);
  }
}

// ---- Item counts and variants ---------------------------------------------------------------

uint64_t add_item_count(KernelThreads threads, uint64_t count) {
  if (!threads.pooled) return 1;
  return min_u64(threads.count, max_u64(1, count / 131072));
}

DensePlan plan_dense(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                     int32_t n_out, int32_t n_in, bool accumulate) {
  const uint64_t cells = static_cast<uint64_t>(rows) * static_cast<uint64_t>(n_out);
  const uint64_t cell_items = threads.pooled ? min_u64(cells, squared(threads.count)) : 1;
  const bool wide = kernels.dense_rows_wide && n_in >= kDenseWideMinInputs;
  if (rows > 1) return {wide ? kernels.dense_rows_wide : kernels.dense_rows, nullptr, cell_items};
  if (kernels.dense_pairs && !(accumulate && n_out == 1)) {
    const uint64_t items =
        max_u64(1, min_u64(static_cast<uint64_t>(n_out) / 2, squared(threads.count)));
    if (kernels.dense_pairs_bytes && n_in >= kDenseBytesMinInputs &&
        n_out >= kDenseBytesMinOutputs) {
      return {nullptr, kernels.dense_pairs_bytes, items};
    }
    return {nullptr, wide ? kernels.dense_pairs_wide : kernels.dense_pairs, items};
  }
  return {dense_cells_portable, nullptr, cell_items};
}

uint64_t lstm_item_count(KernelThreads threads, int32_t n) {
  if (!threads.pooled) return 1;
  return (static_cast<uint64_t>(n) + kLstmItemCells - 1) / kLstmItemCells;
}

MatmulPlan plan_matmul(KernelThreads threads, const CpuKernelSet &kernels, int32_t m, int32_t n,
                       int32_t k) {
  const uint64_t cells = static_cast<uint64_t>(m) * static_cast<uint64_t>(n);
  const uint64_t items = threads.pooled ? min_u64(cells, squared(threads.count)) : 1;
  return {kernels.matmul.for_length(static_cast<uint64_t>(k)), items};
}

namespace {

uint64_t row_items(KernelThreads threads, int32_t rows) {
  return threads.pooled ? min_u64(static_cast<uint64_t>(rows), squared(threads.count)) : 1;
}

}  // namespace

RowsPlan plan_softmax_f32(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                          int32_t cols) {
  return {kernels.softmax_f32.for_length(static_cast<uint64_t>(cols)), row_items(threads, rows)};
}

RowsPlan plan_softmax_i16_to_q31(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                                 int32_t cols) {
  return {kernels.softmax_i16_to_q31.for_length(static_cast<uint64_t>(cols)),
          row_items(threads, rows)};
}

RowsPlan plan_standardize_i16(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                              int32_t cols) {
  const uint64_t items = threads.pooled ? min_u64(squared(threads.count),
                                                  max_u64(1, static_cast<uint64_t>(rows) / 1024))
                                        : 1;
  return {kernels.standardize_i16.for_length(static_cast<uint64_t>(cols)), items};
}

namespace kernel_testing {

uint64_t set_parallel_threshold(uint64_t work) {
  return parallel_threshold_work.exchange(work, std::memory_order_relaxed);
}

uint64_t parallel_threshold() { return parallel_threshold_work.load(std::memory_order_relaxed); }

}  // namespace kernel_testing

}  // namespace qx
