// The worker pool of the macOS build: no threads of its own. A run executes
// the N slots through the system dispatcher's parallel apply, each slot's
// claiming routine stealing from the others as on the other platforms; a
// dispatch semaphore of count 1 keeps runs from several host threads apart.
// Selected by CMake for APPLE in place of thread_pool.cc.
#include <cstring>
#include <new>

#include "base/allocator.h"
#include "cpu/thread_pool_internal.h"
#include "platform/dispatch_apply.h"

namespace qx {
namespace {

// The pool's own line after the slots: what the other platforms keep in
// threads and words is the dispatcher's here.
struct alignas(kPoolLineBytes) DispatchState {
  platform::DispatchSemaphore *lock;
};

DispatchState *dispatch_state(ThreadPool *pool) {
  return reinterpret_cast<DispatchState *>(pool_slots(pool) + pool->thread_count);
}

size_t block_bytes(uint64_t n) {
  return sizeof(ThreadPool) + static_cast<size_t>(n) * sizeof(WorkerSlot) + sizeof(DispatchState);
}

void run_slot(void *context, size_t index) {
  auto *pool = static_cast<ThreadPool *>(context);
  pool->trampoline(pool, &pool_slots(pool)[index]);
}

void free_pool(ThreadPool *pool) {
  const size_t bytes = block_bytes(pool->thread_count);
  platform::dispatch_lock_destroy(dispatch_state(pool)->lock);
  pool->~ThreadPool();
  void *block = pool;
  std::memset(block, 0, bytes);
  aligned_free(block);
}

}  // namespace

QxStatus thread_pool_create(uint32_t thread_count, ThreadPool **pool_out) {
  if (thread_count < 2 || !pool_out) return QX_STATUS_INVALID_ARGUMENT;
  const uint64_t n = thread_count;
  void *block = aligned_malloc(kPoolLineBytes, block_bytes(n));
  if (!block) return QX_STATUS_OUT_OF_MEMORY;
  std::memset(block, 0, block_bytes(n));
  auto *pool = new (block) ThreadPool();
  pool->thread_count = n;
  pool->divisor = word_divisor_make(thread_count);
  WorkerSlot *slots = pool_slots(pool);
  for (uint64_t i = 0; i < n; ++i) {
    new (&slots[i]) WorkerSlot();
    slots[i].index = i;
    slots[i].pool = pool;
  }
  dispatch_state(pool)->lock = platform::dispatch_lock_create();
  if (!dispatch_state(pool)->lock) {
    free_pool(pool);
    return QX_STATUS_RUNTIME_ERROR;
  }
  *pool_out = pool;
  return QX_STATUS_SUCCESS;
}

// The macOS column claims by compare-and-swap only.
void thread_pool_run(ThreadPool *pool, PoolKernel kernel, const void *task, uint64_t count) {
  thread_pool_run_claiming(pool, claim_items_cas, kernel, task, count);
}

void thread_pool_run_claiming(ThreadPool *pool, PoolTrampoline trampoline, PoolKernel kernel,
                              const void *task, uint64_t count) {
  platform::dispatch_lock_take(dispatch_state(pool)->lock);
  pool->trampoline = trampoline;
  pool->kernel = kernel;
  pool->task = task;
  split_items(pool, count);
  // Returns when every slot's routine has returned: all items are done.
  platform::parallel_apply(static_cast<size_t>(pool->thread_count), pool, run_slot);
  platform::dispatch_lock_give(dispatch_state(pool)->lock);
}

void thread_pool_destroy(ThreadPool *pool) {
  if (pool) free_pool(pool);
}

uint32_t thread_pool_thread_count(const ThreadPool *pool) {
  return static_cast<uint32_t>(pool->thread_count);
}

}  // namespace qx
