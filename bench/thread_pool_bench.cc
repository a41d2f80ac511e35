// Cost of one thread_pool_run on two threads: the fixed price of waking the
// worker and waiting for it (count 0), and per-item claiming overhead with
// items that do almost nothing.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_context.h"
#include "cpu/thread_pool_internal.h"


namespace qx {
namespace {

struct Output {
  int *values;
};

void write_one(const void *task, uint64_t item) {
  static_cast<const Output *>(task)->values[item] = 1;
}

void BM_thread_pool_run(benchmark::State &state, PoolTrampoline claiming) {
  ThreadPool *pool = nullptr;
  if (thread_pool_create(2, &pool) != QX_STATUS_SUCCESS) {
    state.SkipWithError("pool creation failed");
    return;
  }
  const auto count = static_cast<uint64_t>(state.range(0));
  std::vector<int> values(count + 1);
  Output task{values.data()};
  for (auto _ : state) {
    thread_pool_run_claiming(pool, claiming, write_one, &task, count);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
  thread_pool_destroy(pool);
}

BENCHMARK_CAPTURE(BM_thread_pool_run, cas, claim_items_cas)->Arg(0)->Arg(10000)->UseRealTime();
BENCHMARK_CAPTURE(BM_thread_pool_run, fetch, claim_items_fetch)->Arg(0)->Arg(10000)->UseRealTime();

}  // namespace
}  // namespace qx

QX_BENCHMARK_MAIN()
