// The one internal layer that touches the operating system and the processor.
// Everything above it is portable; a new platform adds its own .cc files that
// implement these declarations: platform_posix.cc with platform_linux.cc or
// platform_macos.cc, or platform_windows.cc; cpu_features_x86.cc or
// cpu_features_arm.cc for the processor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace qx {
namespace platform {

// ---- Threads ---------------------------------------------------------------

// Identity of the calling thread; 0 never denotes a live thread.
using ThreadId = uintptr_t;
ThreadId current_thread_id();

#if defined(_WIN32)
using NativeThread = void *;
#else
using NativeThread = pthread_t;
#endif

// What a new thread runs; owned by the caller and kept alive until joined.
struct ThreadEntry {
  void (*main)(void *argument);
  void *argument;
};

// Starts a thread with the default stack size. False when the system refuses.
bool thread_create(NativeThread *thread, ThreadEntry *entry);
void thread_join(NativeThread thread);

// Tests make the Nth thread creation from now fail (0 = the next one);
// a negative value turns injection off.
void fail_thread_create_after(long n);

// A plain non-recursive mutex; construction and destruction cannot fail.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;
  void lock();
  void unlock();

 private:
#if defined(_WIN32)
  void *handle_;  // an SRWLOCK: one pointer, nothing to create or close
#else
  pthread_mutex_t handle_;
#endif
};

class MutexLock {
 public:
  explicit MutexLock(Mutex &mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() { mutex_.unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex &mutex_;
};

#if defined(_WIN32)
// A manual-reset event: once set it releases every waiter, present and
// future, until reset. Unnamed and initially not set.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;
  bool valid() const { return handle_ != nullptr; }  // false: the system refused one
  void set();
  void reset();
  void wait();  // no time-out
  void wait_at_most_ms(uint32_t milliseconds);  // returns when set or after that long

 private:
  void *handle_;
};
#else
// Blocks while *word equals expected (spurious returns allowed: callers
// re-test their condition). Wakes every waiter on word.
void futex_wait(std::atomic<uint32_t> *word, uint32_t expected);
void futex_wake_all(std::atomic<uint32_t> *word);
#endif

// One processor spin-wait hint; giving up the rest of the time slice.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}
void thread_yield();  // Sleep(0) on Windows

// ---- Processor ---------------------------------------------------------------

// Logical processors configured in the system (0 when unknown).
int32_t processor_count();

// Processor feature bits (the CPU_* values of the CPU backend).
uint32_t detect_isa_flags();

#if defined(__x86_64__)
// Whether 256-bit AVX2 code with fused multiply-adds can run: the processor
// has FMA besides AVX2, and the operating system saves the 256-bit register
// state. Neither is one of the feature bits, which are read from cpuid alone.
bool avx2_fma_usable();

// The wider instruction sets of the dense kernels, each usable only where
// the processor has it and the operating system saves the registers it
// uses (XCR0, read with xgetbv): 256-bit state for AVX-VNNI; opmask and the
// whole 512-bit state besides for AVX-512.
struct VectorExtensions {
  bool avx_vnni;     // VEX vpdpwssd; also needs AVX2 and FMA
  bool avx512_bw;    // AVX-512 F, BW and VL (and BMI2, for the masks)
  bool avx512_vnni;  // all of avx512_bw, and AVX-512 VNNI
};
// What the processor identification words and XCR0 allow. xcr0 is only
// meaningful when leaf 1 ECX has OSXSAVE; otherwise nothing is usable.
struct ProcessorIdentity {
  uint32_t leaf1_ecx;     // FMA bit 12, OSXSAVE bit 27
  uint32_t leaf7_ebx;     // AVX2 5, BMI2 8, AVX-512 F 16, BW 30, VL 31
  uint32_t leaf7_ecx;     // AVX-512 VNNI 11
  uint32_t leaf7_1_eax;   // AVX-VNNI 4
  uint64_t xcr0;          // SSE 1, AVX 2, opmask 5, ZMM_Hi256 6, Hi16_ZMM 7
};
VectorExtensions vector_extensions_of(const ProcessorIdentity &identity);
// The same for this processor (identification read once).
VectorExtensions vector_extensions_usable();
#endif

// ---- Memory and files --------------------------------------------------------

// Aligned block (alignment a power of two, at least sizeof(void*)); null on
// failure. Only aligned_free releases it.
void *aligned_alloc(size_t alignment, size_t size);
void aligned_free(void *pointer);

// Where the platform layer takes short-lived working memory from, so that the
// library's own allocator (which tests can make fail) stays in charge.
struct ScratchAllocator {
  void *(*allocate)(size_t bytes);  // null on failure
  void (*release)(void *block);
};

// Opens a regular file (links followed) by its UTF-8 path for reading in
// binary mode. Anything else - a directory, a pipe, a device - is refused
// at once, without waiting for a writer and without reading from it, since
// only a regular file has a length that bounds what a reader may allocate.
// Windows converts the path and the mode to UTF-16 in memory from `scratch`
// and opens the wide path; a failed conversion or allocation is a failed
// open. Null when the file cannot be opened.
std::FILE *file_open_regular(const char *utf8_path, const ScratchAllocator &scratch);

// ---- Console -------------------------------------------------------------------

// printf format of one diagnostic console line on this platform.
extern const char *const kConsoleErrorLineFormat;
// Called before every console write (Windows switches the console output
// code page to UTF-8, on every line, since the host may change it).
void console_prepare();
// The code page console_prepare last set (0 where the platform sets none),
// kept because a process without a console has no code page to read back.
uint32_t console_code_page_set();

}  // namespace platform
}  // namespace qx
