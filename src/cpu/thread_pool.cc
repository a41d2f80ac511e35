// Placeholder until the worker pool lands: multi-threaded CPU devices fail.
#include "cpu/thread_pool.h"

namespace qx {
QxStatus thread_pool_create(uint32_t, ThreadPool **) { return QX_STATUS_RUNTIME_ERROR; }
void thread_pool_run(ThreadPool *, PoolTrampoline, PoolKernel, const void *, uint64_t) {}
void thread_pool_destroy(ThreadPool *) {}
uint32_t thread_pool_thread_count(const ThreadPool *) { return 1; }
void claim_items_cas(ThreadPool *, WorkerSlot *) {}
void claim_items_fetch(ThreadPool *, WorkerSlot *) {}
PoolTrampoline choose_claiming(const ThreadPool *, uint64_t) { return claim_items_cas; }
}  // namespace qx
