// Sleeping and waking with Linux futexes.
//
// Workers sleep on `command` itself: a new run stores a word that differs
// from the last one (the phase bit toggles) and wakes them, with a system
// call only when one sleeps. The runner sleeps on the gate until the
// workers inside have left; the creator on `done_word` until every worker
// has started. Waiters spin briefly first (spin_until), since the operators
// of a frame's recurrent levels follow each other within microseconds.
#include "cpu/thread_pool_internal.h"

namespace qx {

bool wakeup_ready(const ThreadPool *) { return true; }

void expect_reports(ThreadPool *pool, uint64_t reports) {
  pool->pending.store(reports, std::memory_order_relaxed);
  pool->wakeup.done_word.store(1, std::memory_order_relaxed);
}

void report(ThreadPool *pool, uint64_t reports) {
  if (pool->pending.fetch_sub(reports, std::memory_order_acq_rel) == reports) {
    pool->wakeup.done_word.store(0, std::memory_order_release);
    platform::futex_wake_all(&pool->wakeup.done_word);
  }
}

void wait_for_reports(ThreadPool *pool) {
  std::atomic<uint32_t> &word = pool->wakeup.done_word;
  while (word.load(std::memory_order_acquire) != 0) platform::futex_wait(&word, 1);
}

void publish_command(ThreadPool *pool, uint32_t, uint32_t next) {
  pool->command.store(next, std::memory_order_seq_cst);
  if (pool->wakeup.sleepers.load(std::memory_order_seq_cst) != 0) {
    platform::futex_wake_all(&pool->command);
  }
}

uint32_t wait_for_command(ThreadPool *pool, uint32_t last_seen) {
  return spin_then_sleep_for_command(
      pool, last_seen, [pool](uint32_t seen) { platform::futex_wait(&pool->command, seen); });
}

void wait_until_left(ThreadPool *pool, uint32_t gate) {
  std::atomic<uint32_t> &word = pool->gate;
  if (gate != 0 &&
      !spin_until([&] { return (word.load(std::memory_order_acquire) & kGateInsideMask) == 0; })) {
    // Tell the last worker to leave that it must wake us, then sleep while
    // anyone is inside.
    uint32_t now = word.load(std::memory_order_acquire);
    while ((now & kGateInsideMask) != 0) {
      if (!(now & kGateRunnerSleeps) &&
          !word.compare_exchange_weak(now, now | kGateRunnerSleeps, std::memory_order_acquire)) {
        continue;
      }
      platform::futex_wait(&word, now | kGateRunnerSleeps);
      now = word.load(std::memory_order_acquire);
    }
  }
  word.store(0, std::memory_order_relaxed);
}

void leave_gate(ThreadPool *pool) {
  const uint32_t before = pool->gate.fetch_sub(1, std::memory_order_release);
  if (before == (kGateRunnerSleeps | 1)) platform::futex_wake_all(&pool->gate);
}

}  // namespace qx
