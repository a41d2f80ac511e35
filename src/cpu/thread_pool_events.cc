// Sleeping and waking with manual-reset events (Windows).
//
// Every wait spins first - 5000 pause steps, then up to step 10000 giving
// up the time slice - and only then blocks on the event that belongs to
// its condition, re-testing the condition after every wake. Events come in
// pairs indexed by the command's phase: a run sets the go event its
// sleepers block on only after resetting the one they will block on next,
// and resets the previous run's done event after its own run, so no wake
// meant for one run is seen by another.
#include "cpu/thread_pool_internal.h"

namespace qx {
namespace {

constexpr int kPauseSteps = 5000;
constexpr int kYieldSteps = 10000;  // counted from the first pause step

// Spins, yields, then blocks on `event` until `condition()` holds.
template <typename Condition>
void wait_until(Condition condition, platform::Event &event) {
  for (int step = 1; step <= kYieldSteps; ++step) {
    if (step <= kPauseSteps) {
      platform::cpu_relax();
    } else {
      platform::thread_yield();
    }
    if (condition()) return;
  }
  while (!condition()) event.wait();
}

}  // namespace

bool wakeup_ready(const ThreadPool *pool) {
  const PoolWakeup &w = pool->wakeup;
  return w.done_event[0].valid() && w.done_event[1].valid() && w.go_event[0].valid() &&
         w.go_event[1].valid();
}

void expect_reports(ThreadPool *pool, uint64_t reports) {
  pool->pending.store(reports, std::memory_order_relaxed);
}

void report(ThreadPool *pool, uint64_t reports, uint32_t command) {
  if (pool->pending.fetch_sub(reports, std::memory_order_acq_rel) == reports) {
    pool->wakeup.done_event[command_phase(command)].set();
  }
}

void wait_for_reports(ThreadPool *pool, uint32_t command) {
  wait_until([pool] { return pool->pending.load(std::memory_order_acquire) == 0; },
             pool->wakeup.done_event[command_phase(command)]);
}

void publish_command(ThreadPool *pool, uint32_t previous, uint32_t next) {
  const uint32_t f = command_phase(previous);
  pool->wakeup.go_event[1 - f].reset();
  pool->command.store(next, std::memory_order_release);
  pool->wakeup.go_event[f].set();
}

uint32_t wait_for_command(ThreadPool *pool, uint32_t last_seen) {
  uint32_t now = last_seen;
  wait_until(
      [&] {
        now = pool->command.load(std::memory_order_acquire);
        return now != last_seen;
      },
      pool->wakeup.go_event[command_phase(last_seen)]);
  return now;
}

void end_run(ThreadPool *pool, uint32_t previous) {
  pool->wakeup.done_event[command_phase(previous)].reset();
}

}  // namespace qx
