// Worker pool lifetime and runs. How threads sleep and wake is the one part
// that differs by platform (thread_pool_futex.cc, thread_pool_events.cc).
#include <cstring>
#include <new>

#include "cpu/thread_pool_internal.h"
#include "base/allocator.h"

namespace qx {
namespace {

void worker_main(void *argument) {
  auto *slot = static_cast<WorkerSlot *>(argument);
  ThreadPool *pool = slot->pool;
  report(pool, 1, kCommandIdle);  // started
  uint32_t last_seen = kCommandIdle;
  for (;;) {
    const uint32_t command = wait_for_command(pool, last_seen);
    const uint32_t value = command & kCommandValueMask;
    if (value == kCommandExit) return;  // shutdown waits for joins, not reports
    if (value == kCommandRun) pool->trampoline(pool, slot);
    report(pool, 1, command);
    last_seen = command;
  }
}

// Stops every started worker and releases the block.
void stop_and_free(ThreadPool *pool) {
  const uint64_t n = pool->thread_count;
  WorkerSlot *slots = pool_slots(pool);
  expect_reports(pool, n - 1);
  publish_command(pool, pool->command.load(std::memory_order_relaxed), kCommandExit);
  for (uint64_t i = 1; i < n; ++i) {
    if (slots[i].entry.main) platform::thread_join(slots[i].thread);
  }
  const size_t bytes = sizeof(ThreadPool) + n * sizeof(WorkerSlot);
  pool->~ThreadPool();
  void *block = pool;
  std::memset(block, 0, bytes);
  aligned_free(block);
}

}  // namespace

QxStatus thread_pool_create(uint32_t thread_count, ThreadPool **pool_out) {
  // One thread needs no pool: the backend runs such devices without one.
  if (thread_count < 2 || !pool_out) return QX_STATUS_INVALID_ARGUMENT;
  const uint64_t n = thread_count;
  if (n > (SIZE_MAX - sizeof(ThreadPool)) / sizeof(WorkerSlot)) return QX_STATUS_OUT_OF_MEMORY;
  const size_t bytes = sizeof(ThreadPool) + static_cast<size_t>(n) * sizeof(WorkerSlot);
  void *block = aligned_malloc(kPoolLineBytes, bytes);
  if (!block) return QX_STATUS_OUT_OF_MEMORY;
  std::memset(block, 0, bytes);

  auto *pool = new (block) ThreadPool();
  pool->thread_count = n;
  pool->divisor = word_divisor_make(thread_count);
  WorkerSlot *slots = pool_slots(pool);
  for (uint64_t i = 0; i < n; ++i) {
    new (&slots[i]) WorkerSlot();
    slots[i].index = i;
    slots[i].pool = pool;
  }
  if (!wakeup_ready(pool)) {
    stop_and_free(pool);  // no worker started yet
    return QX_STATUS_RUNTIME_ERROR;
  }

  expect_reports(pool, n - 1);
  for (uint64_t i = 1; i < n; ++i) {
    slots[i].entry = platform::ThreadEntry{worker_main, &slots[i]};
    if (!platform::thread_create(&slots[i].thread, &slots[i].entry)) {
      slots[i].entry = platform::ThreadEntry{};
      // Slots i .. n-1 will never report: count them off ourselves, let the
      // started workers settle, then take the pool down again.
      report(pool, n - i, kCommandIdle);
      wait_for_reports(pool, kCommandIdle);
      stop_and_free(pool);
      return QX_STATUS_RUNTIME_ERROR;
    }
  }
  wait_for_reports(pool, kCommandIdle);
  *pool_out = pool;
  return QX_STATUS_SUCCESS;
}

void thread_pool_run(ThreadPool *pool, PoolKernel kernel, const void *task, uint64_t count) {
  thread_pool_run_claiming(pool, choose_claiming(pool, count), kernel, task, count);
}

void thread_pool_run_claiming(ThreadPool *pool, PoolTrampoline trampoline, PoolKernel kernel,
                              const void *task, uint64_t count) {
  platform::MutexLock hold(pool->lock);
  pool->trampoline = trampoline;
  pool->kernel = kernel;
  pool->task = task;
  expect_reports(pool, pool->thread_count - 1);
  split_items(pool, count);

  const uint32_t previous = pool->command.load(std::memory_order_relaxed);
  const uint32_t next = ((previous & kCommandPhaseBit) ^ kCommandPhaseBit) | kCommandRun;
  publish_command(pool, previous, next);

  trampoline(pool, &pool_slots(pool)[0]);
  wait_for_reports(pool, next);
  end_run(pool, previous);
}

void thread_pool_destroy(ThreadPool *pool) {
  if (pool) stop_and_free(pool);
}

uint32_t thread_pool_thread_count(const ThreadPool *pool) {
  return static_cast<uint32_t>(pool->thread_count);
}

}  // namespace qx
