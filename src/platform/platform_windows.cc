// Win32 threads, slim reader/writer locks, manual-reset events, the
// processor count from GetSystemInfo, _aligned_malloc, wide-path opens and
// the console code page (kernel32 and msvcrt only).
#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <process.h>

namespace qx {
namespace platform {

static_assert(sizeof(SRWLOCK) == sizeof(void *), "Mutex holds one SRWLOCK");

ThreadId current_thread_id() {
  // Windows never hands out thread id 0 to a live thread.
  return static_cast<ThreadId>(GetCurrentThreadId());
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

// _beginthreadex rather than CreateThread: the C runtime sets up its
// per-thread state (errno, stdio locks) for threads it starts itself.
unsigned __stdcall windows_thread_main(void *argument) {
  auto *entry = static_cast<ThreadEntry *>(argument);
  entry->main(entry->argument);
  return 0;
}

}  // namespace

bool thread_create(NativeThread *thread, ThreadEntry *entry) {
  if (injected_thread_failure()) return false;
  const uintptr_t handle = _beginthreadex(nullptr, 0, windows_thread_main, entry, 0, nullptr);
  if (handle == 0) return false;
  *thread = reinterpret_cast<void *>(handle);
  return true;
}

void thread_join(NativeThread thread) {
  WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread));
}

void fail_thread_create_after(long n) { g_thread_create_countdown.store(n < 0 ? -1 : n); }

Mutex::Mutex() : handle_(nullptr) {}  // SRWLOCK_INIT is all zeros
Mutex::~Mutex() {}
void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&handle_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&handle_)); }

Event::Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
Event::~Event() {
  if (handle_) CloseHandle(handle_);
}
void Event::set() { SetEvent(handle_); }
void Event::reset() { ResetEvent(handle_); }
void Event::wait() { WaitForSingleObject(handle_, INFINITE); }
void Event::wait_at_most_ms(uint32_t milliseconds) { WaitForSingleObject(handle_, milliseconds); }

void thread_yield() { Sleep(0); }

int32_t processor_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<int32_t>(info.dwNumberOfProcessors);
}

void *aligned_alloc(size_t alignment, size_t size) {
  return _aligned_malloc(size == 0 ? alignment : size, alignment);
}

void aligned_free(void *pointer) { _aligned_free(pointer); }

namespace {

// UTF-8 to UTF-16 in a block from `scratch`: the length query first, then
// the conversion. Invalid UTF-8 fails rather than becoming U+FFFD, so a
// mangled path never opens some other file. Null on any failure.
wchar_t *widen(const char *utf8, const ScratchAllocator &scratch) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  auto *wide = static_cast<wchar_t *>(scratch.allocate(sizeof(wchar_t) * static_cast<size_t>(units)));
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, units) != units) {
    scratch.release(wide);
    return nullptr;
  }
  return wide;
}

// Only disk files: consoles, printers, pipes and sockets report other types,
// and a directory carries its attribute.
bool is_regular_file(std::FILE *stream) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(handle, &information) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::FILE *file_open_regular(const char *utf8_path, const ScratchAllocator &scratch) {
  wchar_t *path = widen(utf8_path, scratch);
  if (!path) return nullptr;
  wchar_t *mode = widen("rb", scratch);
  if (!mode) {
    scratch.release(path);
    return nullptr;
  }
  // Opening a pipe's client end or a device does not wait for the other
  // side, so the type can be checked after the open; nothing is read first.
  std::FILE *stream = _wfopen(path, mode);
  scratch.release(mode);
  scratch.release(path);
  if (stream && !is_regular_file(stream)) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

const char *const kConsoleErrorLineFormat = "[ERROR] %s\n";

namespace {
std::atomic<uint32_t> g_code_page_set{0};
}  // namespace

void console_prepare() {
  constexpr UINT kUtf8CodePage = 65001;
  SetConsoleOutputCP(kUtf8CodePage);
  g_code_page_set.store(kUtf8CodePage, std::memory_order_relaxed);
}

uint32_t console_code_page_set() { return g_code_page_set.load(std::memory_order_relaxed); }

}  // namespace platform
}  // namespace qx
