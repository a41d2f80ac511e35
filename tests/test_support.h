// Helpers shared by the test programs.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "qx_orb.h"
#include "base/error_stack.h"
#include "platform/platform.h"
#include "base/allocator.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace qx_test {

// Keeps the temporary files of test programs that run at once apart.
inline long process_id() {
#if defined(_WIN32)
  return static_cast<long>(_getpid());
#else
  return static_cast<long>(getpid());
#endif
}

// Allocations that opening a model file makes before the reader's first:
// Windows converts the path and the mode to UTF-16, and a failure there is
// a failed open (201, IO_ERROR) rather than an exhausted heap.
#if defined(_WIN32)
constexpr long kModelOpenAllocations = 2;
#else
constexpr long kModelOpenAllocations = 0;
#endif

// One frame of a gliding harmonic tone with a 4 Hz syllable rhythm under
// seeded noise: voiced for the detector, different for every seed.
inline std::vector<int16_t> speech_like_frame(uint32_t seed) {
  std::vector<int16_t> frame(32768);
  uint32_t state = seed;
  for (size_t i = 0; i < frame.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double t = static_cast<double>(i) / 16000.0;
    const double voice = 9000 * std::sin(2 * M_PI * (150 + 40 * std::sin(2 * M_PI * 3 * t)) * t) *
                         (0.5 + 0.5 * std::sin(2 * M_PI * 4 * t));
    frame[i] = static_cast<int16_t>(voice + static_cast<int32_t>(state >> 20) - 2048);
  }
  return frame;
}

// The calling thread's messages, collected (and so cleared) through the C API.
inline std::vector<std::string> collect_messages(QxStatus *status = nullptr) {
  char **stack = nullptr;
  int32_t depth = 0;
  const QxStatus result = qx_get_error_stack(&stack, &depth);
  if (status) *status = result;
  std::vector<std::string> lines;
  for (int32_t i = 0; stack && i < depth; ++i) lines.emplace_back(stack[i]);
  qx_free_error_stack(stack);
  return lines;
}

// Clears whatever the thread had, so a later collection shows only new lines.
inline void discard_messages() { collect_messages(); }

// A message line as the library formats it.
inline std::string line(int code, const std::string &detail) {
  char head[32];
  std::snprintf(head, sizeof(head), "da6b4f4 %08X: ", static_cast<unsigned>(code));
  return head + detail;
}
inline std::string generic_line(int code) { return line(code, "Marlow Error."); }

// Live heap blocks once the error stack's spare message set exists, which a
// first reset creates and which lives for the whole process.
inline long settled_live_blocks() {
  qx::error_stack_reset();
  return qx::allocator_testing::live_blocks();
}

// Whether `body`, run on a new thread after `prepare` there, finishes while
// this thread holds the process-wide error lock. A body that waits for the
// lock is let go after `patience_ms` and reported as not finished.
template <typename Prepare, typename Body>
bool finishes_while_error_lock_held(Prepare prepare, Body body, int patience_ms = 5000) {
  std::atomic<int> stage{0};  // 1: prepared, 2: lock held, 3: body done
  std::thread thread([&] {
    prepare();
    stage.store(1);
    while (stage.load() != 2) std::this_thread::yield();
    body();
    stage.store(3);
  });
  while (stage.load() != 1) std::this_thread::yield();
  bool finished = false;
  {
    const qx::error_testing::LockHeld held;
    stage.store(2);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
    while (!(finished = stage.load() == 3) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  thread.join();
  return finished;
}

// Turns fault injection off again whatever a test did.
struct FaultInjectionOff {
  ~FaultInjectionOff() {
    qx::allocator_testing::fail_after(-1);
    qx::platform::fail_thread_create_after(-1);
  }
};

}  // namespace qx_test
