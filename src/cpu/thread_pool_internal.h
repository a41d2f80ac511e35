// Layout of the worker pool block, shared by the pool's own files and tests.
//
// One 64-byte aligned, zero-filled block: the header lines, then one slot
// line per thread (slot 0 belongs to the thread calling thread_pool_run).
// Every per-thread counter sits on its own line so that claiming items never
// bounces a line between two owners.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "cpu/fast_divide.h"
#include "cpu/thread_pool.h"
#include "platform/platform.h"

namespace qx {

struct WorkerSlot;

// The item-claiming routine every thread of a run executes.
using PoolTrampoline = void (*)(ThreadPool *pool, WorkerSlot *slot);

// Claiming by compare-and-swap, usable for any count.
void claim_items_cas(ThreadPool *pool, WorkerSlot *slot);
// Claiming by one fetch-and-decrement per item; needs count < 2^64 - N.
void claim_items_fetch(ThreadPool *pool, WorkerSlot *slot);
// Whether runs may claim by fetch-and-decrement. Not on 32-bit ARM: a 64-bit
// fetch-and-decrement there is itself a load-exclusive/store-exclusive
// loop, so it saves nothing over compare-and-swap.
#if defined(__arm__)
constexpr bool kPoolClaimsByFetch = false;
#else
constexpr bool kPoolClaimsByFetch = true;
#endif
// The routine thread_pool_run uses for `count` items on this pool.
PoolTrampoline choose_claiming(const ThreadPool *pool, uint64_t count);
// thread_pool_run with the claiming routine named: tests and benchmarks
// compare the routines on the same runs.
void thread_pool_run_claiming(ThreadPool *pool, PoolTrampoline trampoline, PoolKernel kernel,
                              const void *task, uint64_t count);

constexpr size_t kPoolLineBytes = 64;

// command: bit 31 is the phase, toggled by every run so that two runs in a
// row never store the same word; bits 0-30 say what to do.
constexpr uint32_t kCommandPhaseBit = 0x80000000u;
constexpr uint32_t kCommandValueMask = 0x7fffffffu;
constexpr uint32_t kCommandIdle = 0;
constexpr uint32_t kCommandRun = 1;
constexpr uint32_t kCommandExit = 2;

// The run's gate (ThreadPool::gate): bit 31 open, bit 30 the runner sleeps
// until the workers inside have left, bits 0-29 the workers inside.
constexpr uint32_t kGateOpen = 0x80000000u;
constexpr uint32_t kGateRunnerSleeps = 0x40000000u;
constexpr uint32_t kGateInsideMask = 0x3fffffffu;

// How waiting threads sleep and wake, one scheme per platform (see the
// functions below). Its fields live in the pool header.
#if defined(_WIN32)
struct PoolWakeup {
  // Set by the last worker to report start-up.
  platform::Event done_event[2];
  // Set to wake workers, indexed by the phase they last saw; the runner
  // resets the other one before it publishes a command of that phase.
  platform::Event go_event[2];
  // Set by the last worker to leave a closed gate; the runner resets it
  // before each time it blocks on it and then tests the gate again.
  platform::Event left_event;
  // Workers about to block on a go event. Incremented before a worker's
  // last test of `command` and decremented after it wakes (both sequentially
  // consistent, as is the runner's store of `command` before it reads this):
  // either the worker sees the new command or the runner sees the sleeper
  // and sets the event, so runs that find every worker awake make no call.
  std::atomic<uint32_t> sleepers;
};
#else
struct PoolWakeup {
  // 1 while start-up is in progress, cleared (release) by the last
  // reporting worker with a wake-all. The creator waits on it.
  std::atomic<uint32_t> done_word;
  // Workers about to sleep on `command`, with the same protocol as on
  // Windows: the runner calls the system to wake them only when one sleeps.
  std::atomic<uint32_t> sleepers;
};
#endif

struct alignas(kPoolLineBytes) WorkerSlot {
  // First item of the share. Written by the runner before the run's command
  // is published (release) and read by the owner after loading it (acquire).
  uint64_t begin;
  // One past the last unclaimed item. Thieves decrement it, and only after
  // their decrement of `remaining` succeeded, taking the new value as their
  // item; the owner never touches it during a run.
  std::atomic<uint64_t> end;
  // Items of the share not yet claimed. Every claim, by owner or thief,
  // decrements it first; the owner's k-th claim takes begin + k - 1, so owner
  // and thieves meet without overlap. Compare-and-swap claims never take it
  // below 0; fetch-and-decrement claims may, by at most one per thread.
  std::atomic<int64_t> remaining;
  uint64_t index;
  ThreadPool *pool;
  platform::NativeThread thread;
  // What the worker thread runs; lives in the block until the thread is
  // joined. `entry.main` is null exactly when the slot has no thread.
  platform::ThreadEntry entry;
};
static_assert(sizeof(WorkerSlot) == kPoolLineBytes, "one slot per 64-byte line");

struct alignas(kPoolLineBytes) ThreadPool {
  // Workers that still have to report the end of start-up. Set by the
  // creator (or shutdown) while no worker reports; each worker decrements it
  // once (acq_rel) and the one that reaches 0 wakes the waiter (PoolWakeup).
  std::atomic<uint64_t> pending;
  // The door of the current run. The runner opens it (release) once the
  // run's fields and shares are in place, and closes it when its own claiming
  // routine has returned, that is when every item has been claimed. A worker
  // enters only by compare-and-swap on an open gate (acquire: it then sees
  // the run's fields) and leaves with one decrement (release: the runner,
  // which waits until none is inside, then sees its items' results). A
  // worker that finds the gate closed skips the run without touching it, so
  // the runner never waits for a worker that has not yet woken up. A worker
  // may find the gate of a later run than the command it woke for: it takes
  // part in that one (its fields are in place once the gate is open).
  std::atomic<uint32_t> gate;
  // Counts runs; written before the gate opens, read by a worker once
  // inside. A worker takes part in each run at most once: a second
  // fetch-and-decrement claim on an empty share could pass for a valid one.
  uint32_t run_number;
  // The workers' wake word. Written only under `lock` (or by shutdown) with
  // release after every field of the run is in place; workers load it with
  // acquire and sleep on it while it equals the last value they saw.
  std::atomic<uint32_t> command;
  // The run's fields: written before `command` is published, read after.
  PoolTrampoline trampoline;
  PoolKernel kernel;
  const void *task;
  uint64_t thread_count;
  WordDivisor divisor;    // dividing item counts by thread_count
  platform::Mutex lock;   // one run at a time
  PoolWakeup wakeup;
};
static_assert(sizeof(ThreadPool) % kPoolLineBytes == 0, "header fills whole lines");

inline WorkerSlot *pool_slots(ThreadPool *pool) {
  return reinterpret_cast<WorkerSlot *>(reinterpret_cast<char *>(pool) + sizeof(ThreadPool));
}

// The sleeping and waking scheme (thread_pool_futex.cc on Linux,
// thread_pool_events.cc on Windows). `command` values carry the phase that
// picks the events on Windows; the futex scheme ignores it.
//
// False when the scheme's handles (made with the header) are missing; such
// a pool must not start. The header's destructor closes them.
bool wakeup_ready(const ThreadPool *pool);
// Sets `pending` to `reports` before a start-up or a shutdown.
void expect_reports(ThreadPool *pool, uint64_t reports);
// Takes `reports` off `pending`; whoever reaches 0 ends the wait of
// wait_for_reports.
void report(ThreadPool *pool, uint64_t reports);
// Returns once `pending` is 0 (start-up).
void wait_for_reports(ThreadPool *pool);
// Stores `next` in place of `previous` (under `lock`, or at shutdown) and
// wakes the workers that sleep.
void publish_command(ThreadPool *pool, uint32_t previous, uint32_t next);
// A worker's wait for a command other than `last_seen`: spins for at most
// kPoolSpinNanoseconds, then sleeps. Returns the new command.
uint32_t wait_for_command(ThreadPool *pool, uint32_t last_seen);
// The runner's wait, after closing the gate, until no worker is inside;
// `gate` is the value it closed. Leaves the gate at 0.
void wait_until_left(ThreadPool *pool, uint32_t gate);
// A worker leaves the gate it entered, waking a runner that sleeps on it.
void leave_gate(ThreadPool *pool);

// How long an idle worker spins for the next command before it sleeps.
// Spinning costs a processor for that long; sleeping costs a wake-up call by
// the runner and the scheduler's delay before the worker runs again, some
// microseconds each. A pooled operator is followed within a few
// microseconds by the next one only inside a frame's recurrent levels, so
// the budget covers such a gap and no more: after a frame the workers sleep.
constexpr int64_t kPoolSpinNanoseconds = 20000;

// Spins with the processor's pause hint until condition() holds or
// kPoolSpinNanoseconds have passed; returns whether it holds. The clock is
// read once every 16 steps. It never yields: on a processor shared with
// other work, giving up the time slice hands it to that work for
// milliseconds, and the worker misses the run it was waiting for.
template <typename Condition>
bool spin_until(Condition condition) {
  const auto start = std::chrono::steady_clock::now();
  const auto budget = std::chrono::nanoseconds(kPoolSpinNanoseconds);
  for (;;) {
    for (int step = 0; step < 16; ++step) {
      if (condition()) return true;
      platform::cpu_relax();
    }
    if (std::chrono::steady_clock::now() - start > budget) return condition();
  }
}

inline uint32_t command_phase(uint32_t command) { return command >> 31; }

// The body of wait_for_command, shared by the sleeping schemes:
// sleep(last_seen) blocks until a command after last_seen may have been
// published. A worker counts itself in `sleepers` before its last look at
// the command word, so a runner that publishes after that look sees it and
// wakes it; spurious wake-ups just look again.
template <typename Sleep>
uint32_t spin_then_sleep_for_command(ThreadPool *pool, uint32_t last_seen, Sleep sleep) {
  uint32_t now = last_seen;
  const auto changed = [&] {
    now = pool->command.load(std::memory_order_acquire);
    return now != last_seen;
  };
  if (spin_until(changed)) return now;
  std::atomic<uint32_t> &sleepers = pool->wakeup.sleepers;
  for (;;) {
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (pool->command.load(std::memory_order_seq_cst) == last_seen) sleep(last_seen);
    sleepers.fetch_sub(1, std::memory_order_relaxed);
    if (changed()) return now;
  }
}

// Cuts [0, count) into thread_count contiguous shares in slot order, the
// first count mod N slots one item larger, and stores them in the slots.
// Only while no run is in flight.
void split_items(ThreadPool *pool, uint64_t count);

}  // namespace qx
