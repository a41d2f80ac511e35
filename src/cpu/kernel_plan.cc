#include "cpu/kernel_plan.h"

#include <atomic>

#include "platform/platform.h"

namespace qx {
namespace {

// Waking a sleeping worker and waiting for its report costs microseconds
// (tens of them where the other cores are busy), while the 16-bit kernels do
// some 4 * 10^4 multiply-accumulates per microsecond: below about 2^18 steps
// (some 6 us of work) an operator is done before a second thread would have
// helped. This keeps every operator of the default-shape model on the
// calling thread. BM_dense_pool in bench/cpu_kernels_bench.cc measures the
// break-even on a given machine.
constexpr uint64_t kDefaultParallelThreshold = uint64_t{1} << 18;

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

uint32_t usable_isa_flags(uint32_t isa_flags) {
#if defined(QX_X86_KERNELS)
  static const bool avx2_usable = platform::avx2_fma_usable();
  return avx2_usable ? isa_flags : isa_flags & ~CPU_AVX2;
#else
  return 0;  // no vector kernels in this build
#endif
}

void run_kernel_items(const CpuBackend &backend, KernelThreads threads, PoolKernel kernel,
                      const void *task, uint64_t items) {
  if (items <= 1) {
    kernel(task, 0);
  } else if (threads.pooled) {
    thread_pool_run(backend.pool, choose_claiming(backend.pool, items), kernel, task, items);
  } else {
    for (uint64_t item = 0; item < items; ++item) kernel(task, item);
  }
}

// ---- Item counts and variants ---------------------------------------------------------------

uint64_t add_item_count(KernelThreads threads, uint64_t count) {
  if (!threads.pooled) return 1;
  return min_u64(threads.count, max_u64(1, count / 131072));
}

AddF32Fn choose_add_f32(uint32_t isa_flags, uint64_t length) {
#if defined(QX_X86_KERNELS)
  if ((isa_flags & CPU_AVX2) && length % 8 == 0) return add_f32_avx2;
  if ((isa_flags & CPU_SSE4_1) && length % 4 == 0) return add_f32_sse41;
#endif
  (void)isa_flags;
  (void)length;
  return add_f32_portable;
}

AddI16Fn choose_add_i16(uint32_t isa_flags, uint64_t length) {
#if defined(QX_X86_KERNELS)
  if ((isa_flags & CPU_AVX2) && length % 16 == 0) return add_i16_avx2;
  if ((isa_flags & CPU_SSE4_1) && length % 8 == 0) return add_i16_sse41;
#endif
  (void)isa_flags;
  (void)length;
  return add_i16_portable;
}

DensePlan plan_dense(KernelThreads threads, uint32_t isa_flags, int32_t rows, int32_t n_out,
                     bool accumulate) {
  const uint64_t cells = static_cast<uint64_t>(rows) * static_cast<uint64_t>(n_out);
  const uint64_t cell_items = threads.pooled ? min_u64(cells, squared(threads.count)) : 1;
#if defined(QX_X86_KERNELS)
  const bool pair_case = rows == 1 && !(accumulate && n_out == 1);
  if (isa_flags & (CPU_AVX2 | CPU_SSE4_1)) {
    if (pair_case) {
      const uint64_t items =
          max_u64(1, min_u64(static_cast<uint64_t>(n_out) / 2, squared(threads.count)));
      return {nullptr, (isa_flags & CPU_AVX2) ? dense_pairs_avx2 : dense_pairs_sse41, items};
    }
    if (rows > 1) {
      return {(isa_flags & CPU_AVX2) ? dense_cells_avx2 : dense_cells_sse41, nullptr, cell_items};
    }
  }
#endif
  (void)isa_flags;
  (void)accumulate;
  return {dense_cells_portable, nullptr, cell_items};
}

uint64_t lstm_item_count(KernelThreads threads, int32_t n) {
  if (!threads.pooled) return 1;
  return (static_cast<uint64_t>(n) + kLstmItemCells - 1) / kLstmItemCells;
}

LstmFn choose_lstm(uint32_t isa_flags) {
#if defined(QX_X86_KERNELS)
  if (isa_flags & CPU_AVX2) return lstm_cell_i16_avx2;
  if (isa_flags & CPU_SSE4_1) return lstm_cell_i16_sse41;
#endif
  (void)isa_flags;
  return lstm_cell_i16_portable;
}

MatmulPlan plan_matmul(KernelThreads threads, uint32_t isa_flags, int32_t m, int32_t n, int32_t k) {
  const uint64_t cells = static_cast<uint64_t>(m) * static_cast<uint64_t>(n);
  const uint64_t items = threads.pooled ? min_u64(cells, squared(threads.count)) : 1;
#if defined(QX_X86_KERNELS)
  if ((isa_flags & CPU_AVX2) && k % 32 == 0) return {matmul_f32_avx2_fma, items};
#endif
  (void)isa_flags;
  (void)k;
  return {matmul_f32_portable, items};
}

namespace {

uint64_t row_items(KernelThreads threads, int32_t rows) {
  return threads.pooled ? min_u64(static_cast<uint64_t>(rows), squared(threads.count)) : 1;
}

}  // namespace

RowsPlan plan_softmax_f32(KernelThreads threads, uint32_t isa_flags, int32_t rows, int32_t cols) {
#if defined(QX_X86_KERNELS)
  if ((isa_flags & CPU_AVX2) && cols % 8 == 0) return {softmax_f32_avx2, row_items(threads, rows)};
  if ((isa_flags & CPU_SSE4_1) && cols % 4 == 0)
    return {softmax_f32_sse41, row_items(threads, rows)};
#endif
  (void)isa_flags;
  (void)cols;
  return {softmax_f32_portable, row_items(threads, rows)};
}

RowsPlan plan_softmax_i16_to_q31(KernelThreads threads, uint32_t isa_flags, int32_t rows,
                                 int32_t cols) {
#if defined(QX_X86_KERNELS)
  if ((isa_flags & CPU_AVX2) && cols % 16 == 0) {
    return {softmax_i16_to_q31_avx2, row_items(threads, rows)};
  }
  if ((isa_flags & CPU_SSE4_1) && cols % 8 == 0) {
    return {softmax_i16_to_q31_sse41, row_items(threads, rows)};
  }
#endif
  (void)isa_flags;
  (void)cols;
  return {softmax_i16_to_q31_portable, row_items(threads, rows)};
}

RowsPlan plan_standardize_i16(KernelThreads threads, uint32_t isa_flags, int32_t rows,
                              int32_t cols) {
  const uint64_t items = threads.pooled ? min_u64(squared(threads.count),
                                                  max_u64(1, static_cast<uint64_t>(rows) / 1024))
                                        : 1;
#if defined(QX_X86_KERNELS)
  if ((isa_flags & CPU_AVX2) && cols % 16 == 0) return {standardize_i16_avx2, items};
  if ((isa_flags & CPU_SSE4_1) && cols % 8 == 0) return {standardize_i16_sse41, items};
#endif
  (void)isa_flags;
  (void)cols;
  return {standardize_i16_portable, items};
}

namespace kernel_testing {

uint64_t set_parallel_threshold(uint64_t work) {
  return parallel_threshold_work.exchange(work, std::memory_order_relaxed);
}

uint64_t parallel_threshold() { return parallel_threshold_work.load(std::memory_order_relaxed); }

}  // namespace kernel_testing

}  // namespace qx
