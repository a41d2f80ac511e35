#include "base/allocator.h"

#include <atomic>
#include <cstdlib>

#include "platform/platform.h"

namespace qx {
namespace {

std::atomic<long> g_countdown{-1};
std::atomic<bool> g_persistent{false};
std::atomic<bool> g_tripped{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_live{0};

// True when this allocation must fail.
bool injected_failure() {
  if (g_tripped.load(std::memory_order_relaxed)) return true;
  long n = g_countdown.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (g_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
      if (n != 0) return false;
      if (g_persistent.load(std::memory_order_relaxed)) g_tripped.store(true);
      return true;
    }
  }
  return false;
}

void *counted(void *pointer) {
  if (pointer) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_live.fetch_add(1, std::memory_order_relaxed);
  }
  return pointer;
}

void uncount(void *pointer) {
  if (pointer) g_live.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

void *heap_malloc(size_t size) {
  if (injected_failure()) return nullptr;
  return counted(std::malloc(size == 0 ? 1 : size));
}

void *heap_calloc(size_t count, size_t size) {
  if (injected_failure()) return nullptr;
  return counted(std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size));
}

void heap_free(void *pointer) {
  uncount(pointer);
  std::free(pointer);
}

void *aligned_malloc(size_t alignment, size_t size) {
  if (injected_failure()) return nullptr;
  return counted(platform::aligned_alloc(alignment, size));
}

void aligned_free(void *pointer) {
  uncount(pointer);
  platform::aligned_free(pointer);
}

namespace allocator_testing {

void fail_after(long n, bool persistent) {
  g_tripped.store(false);
  g_persistent.store(persistent);
  g_countdown.store(n < 0 ? -1 : n);
}

long allocation_count() { return g_allocations.load(); }
long live_blocks() { return g_live.load(); }

}  // namespace allocator_testing
}  // namespace qx
