// The macOS build's platform layer: POSIX threads and locks, the processor
// count from sysctlbyname, posix_memalign, and the system dispatcher's
// parallel apply and semaphores for the worker pool (dispatch_apply.h).
// Selected by CMake for APPLE in place of platform_posix.cc.
#include "platform/platform.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <dispatch/dispatch.h>

#include "platform/dispatch_apply.h"

#if !defined(__APPLE__)
#error "platform_macos.cc is the macOS platform layer"
#endif

namespace qx {
namespace platform {

ThreadId current_thread_id() {
  // pthread_t is the address of the thread's record: never 0 and unique
  // among live threads, so plain equality is the equality test.
  return reinterpret_cast<ThreadId>(pthread_self());
}

namespace {

std::atomic<long> g_thread_create_countdown{-1};

bool injected_thread_failure() {
  long n = g_thread_create_countdown.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (g_thread_create_countdown.compare_exchange_weak(n, n - 1)) return n == 0;
  }
  return false;
}

void *posix_thread_main(void *argument) {
  auto *entry = static_cast<ThreadEntry *>(argument);
  entry->main(entry->argument);
  return nullptr;
}

}  // namespace

bool thread_create(NativeThread *thread, ThreadEntry *entry) {
  if (injected_thread_failure()) return false;
  return pthread_create(thread, nullptr, posix_thread_main, entry) == 0;
}

void thread_join(NativeThread thread) { pthread_join(thread, nullptr); }

void fail_thread_create_after(long n) { g_thread_create_countdown.store(n < 0 ? -1 : n); }

Mutex::Mutex() { pthread_mutex_init(&handle_, nullptr); }
Mutex::~Mutex() { pthread_mutex_destroy(&handle_); }
void Mutex::lock() { pthread_mutex_lock(&handle_); }
void Mutex::unlock() { pthread_mutex_unlock(&handle_); }

// The macOS worker pool runs on the dispatcher and never sleeps on a word;
// a yield is a valid (spurious) return for any other caller.
void futex_wait(std::atomic<uint32_t> *, uint32_t) { sched_yield(); }
void futex_wake_all(std::atomic<uint32_t> *) {}

void thread_yield() { sched_yield(); }

int32_t processor_count() {
  int n = 0;
  size_t size = sizeof(n);
  if (sysctlbyname("hw.ncpu", &n, &size, nullptr, 0) != 0) return 0;
  return n > 0 ? n : 0;
}

void *aligned_alloc(size_t alignment, size_t size) {
  void *pointer = nullptr;
  if (posix_memalign(&pointer, alignment, size == 0 ? alignment : size) != 0) return nullptr;
  return pointer;
}

void aligned_free(void *pointer) { free(pointer); }

std::FILE *file_open_regular(const char *utf8_path) {
  // Non-blocking, so that opening a pipe without a writer returns at once;
  // the flag is cleared again before the stream reads a regular file.
  const int fd = open(utf8_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE *stream = fdopen(fd, "rb");
  if (!stream) close(fd);
  return stream;
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

const char *const kConsoleErrorLineFormat = "\033[31m[ERROR] %s\033[0m\n";

void console_prepare() {}

}  // namespace platform
}  // namespace qx
