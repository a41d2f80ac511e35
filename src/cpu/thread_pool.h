// A work-stealing pool of N - 1 persistent workers plus the calling thread.
//
// thread_pool_run(pool, kernel, task, count) is a parallel version of the
// serial loop
//     for (uint64_t i = 0; i < count; ++i) kernel(task, i);
// Items are pre-split into contiguous per-thread shares, then balanced by
// stealing from the ends of other shares. Runs from several host threads are
// serialised by the pool's lock.
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

struct ThreadPool;

using PoolKernel = void (*)(const void *task, uint64_t item);

// Starts thread_count - 1 workers (thread_count >= 2) and returns after all
// have started. INVALID_ARGUMENT for fewer than 2 threads (a single thread
// needs no pool) or a null out-pointer; OUT_OF_MEMORY when the pool block
// cannot be allocated; RUNTIME_ERROR when a worker thread cannot be created.
// On failure nothing is left behind and *pool is untouched.
QxStatus thread_pool_create(uint32_t thread_count, ThreadPool **pool);
// Never allocates; waits for a run issued by another thread to finish first.
void thread_pool_run(ThreadPool *pool, PoolKernel kernel, const void *task, uint64_t count);
// Stops and joins the workers and frees the pool. Null is ignored.
void thread_pool_destroy(ThreadPool *pool);
uint32_t thread_pool_thread_count(const ThreadPool *pool);

}  // namespace qx
