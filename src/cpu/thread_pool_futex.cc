// Sleeping and waking with Linux futexes.
//
// Workers sleep on `command` itself: a new run stores a word that differs
// from the last one (the phase bit toggles) and wakes them all. The creator
// and the runner sleep on `done_word`, which the last reporting worker
// clears. Both sides spin briefly first, since runs of one operator tend to
// follow each other closely.
#include "cpu/thread_pool_internal.h"

namespace qx {
namespace {

constexpr int kSpinSteps = 1000;

// Waits until `word` no longer holds `value` and returns what it holds then.
// The acquire load pairs with the release store that changed it.
uint32_t wait_while_equal(std::atomic<uint32_t> &word, uint32_t value) {
  for (int step = 0; step < kSpinSteps; ++step) {
    platform::cpu_relax();
    const uint32_t now = word.load(std::memory_order_acquire);
    if (now != value) return now;
  }
  for (;;) {
    platform::futex_wait(&word, value);
    const uint32_t now = word.load(std::memory_order_acquire);
    if (now != value) return now;
  }
}

}  // namespace

bool wakeup_ready(const ThreadPool *) { return true; }

void expect_reports(ThreadPool *pool, uint64_t reports) {
  pool->pending.store(reports, std::memory_order_relaxed);
  pool->wakeup.done_word.store(1, std::memory_order_relaxed);
}

void report(ThreadPool *pool, uint64_t reports, uint32_t) {
  if (pool->pending.fetch_sub(reports, std::memory_order_acq_rel) == reports) {
    pool->wakeup.done_word.store(0, std::memory_order_release);
    platform::futex_wake_all(&pool->wakeup.done_word);
  }
}

void wait_for_reports(ThreadPool *pool, uint32_t) { wait_while_equal(pool->wakeup.done_word, 1); }

void publish_command(ThreadPool *pool, uint32_t, uint32_t next) {
  pool->command.store(next, std::memory_order_release);
  platform::futex_wake_all(&pool->command);
}

uint32_t wait_for_command(ThreadPool *pool, uint32_t last_seen) {
  return wait_while_equal(pool->command, last_seen);
}

void end_run(ThreadPool *, uint32_t) {}

}  // namespace qx
