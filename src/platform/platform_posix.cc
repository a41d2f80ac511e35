// What Linux and macOS share: POSIX threads and locks, posix_memalign,
// file opening and the ANSI console line. The processor count and the
// pool's sleeping are each system's own (platform_linux.cc,
// platform_macos.cc).
#include "platform/platform.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <type_traits>

namespace qx {
namespace platform {

namespace {

// pthread_t is the address of the thread's record (glibc, macOS) or a
// number standing for it: never 0 and unique among live threads, so plain
// equality is the equality test.
template <typename Thread>
ThreadId thread_id_of(Thread thread) {
  if constexpr (std::is_pointer<Thread>::value) {
    return reinterpret_cast<ThreadId>(thread);
  } else {
    return static_cast<ThreadId>(thread);
  }
}

}  // namespace

ThreadId current_thread_id() { return thread_id_of(pthread_self()); }

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

void thread_yield() { sched_yield(); }

void *aligned_alloc(size_t alignment, size_t size) {
  void *pointer = nullptr;
  if (posix_memalign(&pointer, alignment, size == 0 ? alignment : size) != 0) return nullptr;
  return pointer;
}

void aligned_free(void *pointer) { free(pointer); }

std::FILE *file_open_regular(const char *utf8_path, const ScratchAllocator &) {
  // The path is handed to the system as it is: no conversion, no memory.
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

const char *const kConsoleErrorLineFormat = "\033[31m[ERROR] %s\033[0m\n";

void console_prepare() {}

uint32_t console_code_page_set() { return 0; }

}  // namespace platform
}  // namespace qx
