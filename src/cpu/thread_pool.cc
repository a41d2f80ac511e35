// Worker pool lifetime and runs. How threads sleep and wake is the one part
// that differs by platform (thread_pool_futex.cc, thread_pool_events.cc).
#include <cstring>
#include <new>

#include "cpu/thread_pool_internal.h"
#include "base/allocator.h"

namespace qx {
namespace {

// Enters the gate if it is open and takes part in the run behind it, unless
// that is the run `*last_run` names; then records it there.
void join_run(ThreadPool *pool, WorkerSlot *slot, uint32_t *last_run) {
  uint32_t gate = pool->gate.load(std::memory_order_relaxed);
  while (gate & kGateOpen) {
    if (pool->gate.compare_exchange_weak(gate, gate + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      if (pool->run_number != *last_run) {
        *last_run = pool->run_number;
        pool->trampoline(pool, slot);
      }
      leave_gate(pool);
      return;
    }
  }
}

void worker_main(void *argument) {
  auto *slot = static_cast<WorkerSlot *>(argument);
  ThreadPool *pool = slot->pool;
  report(pool, 1);  // started
  uint32_t last_seen = kCommandIdle;
  uint32_t last_run = 0;  // runs are numbered from 1
  for (;;) {
    const uint32_t command = wait_for_command(pool, last_seen);
    const uint32_t value = command & kCommandValueMask;
    if (value == kCommandExit) return;  // shutdown waits for joins, not reports
    if (value == kCommandRun) join_run(pool, slot, &last_run);
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
      report(pool, n - i);
      wait_for_reports(pool);
      stop_and_free(pool);
      return QX_STATUS_RUNTIME_ERROR;
    }
  }
  wait_for_reports(pool);
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
  split_items(pool, count);
  pool->run_number = pool->run_number + 1 == 0 ? 1 : pool->run_number + 1;
  pool->gate.store(kGateOpen, std::memory_order_release);  // nobody inside since the last run

  const uint32_t previous = pool->command.load(std::memory_order_relaxed);
  const uint32_t next = ((previous & kCommandPhaseBit) ^ kCommandPhaseBit) | kCommandRun;
  publish_command(pool, previous, next);

  // Every item is claimed when the runner's own routine returns, since it
  // steals whatever the others left; only workers already inside may still
  // be running theirs.
  trampoline(pool, &pool_slots(pool)[0]);
  const uint32_t closed = pool->gate.fetch_and(~kGateOpen, std::memory_order_acq_rel) & ~kGateOpen;
  wait_until_left(pool, closed);
}

void thread_pool_destroy(ThreadPool *pool) {
  if (pool) stop_and_free(pool);
}

uint32_t thread_pool_thread_count(const ThreadPool *pool) {
  return static_cast<uint32_t>(pool->thread_count);
}

}  // namespace qx
