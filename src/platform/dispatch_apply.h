// The system dispatcher, for the macOS worker pool (cpu/thread_pool_dispatch.cc):
// a semaphore of count 1 as the pool's lock, and a parallel apply that runs
// work(context, i) for every i in [0, iterations) on the dispatcher's threads
// and the calling one, returning when all have returned. macOS build only.
#pragma once

#include <cstddef>

namespace qx {
namespace platform {

struct DispatchSemaphore;

// Null when the system refuses.
DispatchSemaphore *dispatch_lock_create();
void dispatch_lock_take(DispatchSemaphore *lock);  // waits without time-out
void dispatch_lock_give(DispatchSemaphore *lock);
void dispatch_lock_destroy(DispatchSemaphore *lock);  // null is ignored

void parallel_apply(size_t iterations, void *context, void (*work)(void *context, size_t index));

}  // namespace platform
}  // namespace qx
