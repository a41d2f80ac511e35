// macOS: the processor count from sysctlbyname, and the system
// dispatcher's parallel apply and semaphores for the worker pool
// (dispatch_apply.h). The rest of the platform layer is platform_posix.cc.
#include "platform/platform.h"

#include <sched.h>
#include <sys/sysctl.h>
#include <sys/types.h>

#include <dispatch/dispatch.h>

#include "platform/dispatch_apply.h"

#if !defined(__APPLE__)
#error "platform_macos.cc is the macOS platform layer"
#endif

namespace qx {
namespace platform {

// The macOS worker pool runs on the dispatcher and never sleeps on a word;
// a yield is a valid (spurious) return for any other caller.
void futex_wait(std::atomic<uint32_t> *, uint32_t) { sched_yield(); }
void futex_wake_all(std::atomic<uint32_t> *) {}

int32_t processor_count() {
  int n = 0;
  size_t size = sizeof(n);
  if (sysctlbyname("hw.ncpu", &n, &size, nullptr, 0) != 0) return 0;
  return n > 0 ? n : 0;
}

DispatchSemaphore *dispatch_lock_create() {
  return reinterpret_cast<DispatchSemaphore *>(dispatch_semaphore_create(1));
}

void dispatch_lock_take(DispatchSemaphore *lock) {
  dispatch_semaphore_wait(reinterpret_cast<dispatch_semaphore_t>(lock), DISPATCH_TIME_FOREVER);
}

void dispatch_lock_give(DispatchSemaphore *lock) {
  dispatch_semaphore_signal(reinterpret_cast<dispatch_semaphore_t>(lock));
}

void dispatch_lock_destroy(DispatchSemaphore *lock) {
  if (lock) dispatch_release(reinterpret_cast<dispatch_semaphore_t>(lock));
}

void parallel_apply(size_t iterations, void *context, void (*work)(void *, size_t)) {
  dispatch_apply_f(iterations, dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0), context, work);
}

}  // namespace platform
}  // namespace qx
