// Sleeping and waking with manual-reset events (Windows).
//
// Every wait spins first (spin_until) and only then blocks on the event that
// belongs to its condition, re-testing the condition after every wake. The
// go events come in a pair indexed by the command's phase: a run sets the
// one its sleepers block on only after resetting the one they will block on
// next, so no wake meant for one run is seen by another; and it sets it only
// when a worker sleeps, so runs that find every worker awake make no call.
#include "cpu/thread_pool_internal.h"

namespace qx {

bool wakeup_ready(const ThreadPool *pool) {
  const PoolWakeup &w = pool->wakeup;
  return w.done_event[0].valid() && w.done_event[1].valid() && w.go_event[0].valid() &&
         w.go_event[1].valid() && w.left_event.valid();
}

void expect_reports(ThreadPool *pool, uint64_t reports) {
  pool->pending.store(reports, std::memory_order_relaxed);
}

void report(ThreadPool *pool, uint64_t reports) {
  if (pool->pending.fetch_sub(reports, std::memory_order_acq_rel) == reports) {
    pool->wakeup.done_event[0].set();
  }
}

void wait_for_reports(ThreadPool *pool) {
  while (pool->pending.load(std::memory_order_acquire) != 0) pool->wakeup.done_event[0].wait();
}

void publish_command(ThreadPool *pool, uint32_t previous, uint32_t next) {
  const uint32_t f = command_phase(previous);
  pool->wakeup.go_event[1 - f].reset();
  pool->command.store(next, std::memory_order_seq_cst);
  if (pool->wakeup.sleepers.load(std::memory_order_seq_cst) != 0) pool->wakeup.go_event[f].set();
}

uint32_t wait_for_command(ThreadPool *pool, uint32_t last_seen) {
  // A worker that looked at the command just before two runs went by (a run
  // waits only for the workers that entered it) may block on the event the
  // second run has already reset; the bounded wait makes it look again.
  return spin_then_sleep_for_command(pool, last_seen, [pool](uint32_t seen) {
    pool->wakeup.go_event[command_phase(seen)].wait_at_most_ms(1);
  });
}

void wait_until_left(ThreadPool *pool, uint32_t gate) {
  std::atomic<uint32_t> &word = pool->gate;
  const auto empty = [&] { return (word.load(std::memory_order_acquire) & kGateInsideMask) == 0; };
  if (gate != 0 && !spin_until(empty)) {
    // A set left by an earlier run's last worker is cleared before each
    // block; the gate is tested after the reset, so no leave goes unseen.
    for (;;) {
      pool->wakeup.left_event.reset();
      if (empty()) break;
      pool->wakeup.left_event.wait();
    }
  }
  word.store(0, std::memory_order_relaxed);
}

void leave_gate(ThreadPool *pool) {
  // The last to leave a closed gate: the runner may be blocked on the event.
  if (pool->gate.fetch_sub(1, std::memory_order_release) == 1) pool->wakeup.left_event.set();
}

}  // namespace qx
