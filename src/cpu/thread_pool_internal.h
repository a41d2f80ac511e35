// Layout of the worker pool block, shared by the pool's own files and tests.
//
// One 64-byte aligned, zero-filled block: the header lines, then one slot
// line per thread (slot 0 belongs to the thread calling thread_pool_run).
// Every per-thread counter sits on its own line so that claiming items never
// bounces a line between two owners.
#pragma once

#include <atomic>
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

// How waiting threads sleep and wake, one scheme per platform (see the
// functions below). Its fields live in the pool header.
#if defined(_WIN32)
struct PoolWakeup {
  // Set by the last worker to report, indexed by the phase of the command
  // it reported; [0] also ends start-up. The runner resets the previous
  // run's event after its own run, so the two alternate.
  platform::Event done_event[2];
  // Set to wake workers, indexed by the phase they last saw; the runner
  // resets the other one before it publishes a command of that phase.
  platform::Event go_event[2];
};
#else
struct PoolWakeup {
  // 1 while start-up or a run is in progress, cleared (release) by the last
  // reporting worker with a wake-all. The creator and runner wait on it.
  // Workers sleep on `command` itself.
  std::atomic<uint32_t> done_word;
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
  // Workers that still have to report the end of start-up or of the current
  // run. Set by the runner (or creator) while no worker reports; each worker
  // decrements it once (acq_rel) and the one that reaches 0 wakes the
  // waiter (PoolWakeup), so the last report carries every worker's writes.
  std::atomic<uint64_t> pending;
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
// Sets `pending` to `reports` before a start-up, a run or a shutdown.
void expect_reports(ThreadPool *pool, uint64_t reports);
// Takes `reports` off `pending` for `command`; whoever reaches 0 ends the
// wait of wait_for_reports.
void report(ThreadPool *pool, uint64_t reports, uint32_t command);
// Returns once `pending` is 0 after `command` was published (0: start-up).
void wait_for_reports(ThreadPool *pool, uint32_t command);
// Stores `next` in place of `previous` (under `lock`, or at shutdown) and
// wakes the workers.
void publish_command(ThreadPool *pool, uint32_t previous, uint32_t next);
// A worker's wait for a command other than `last_seen`; returns it.
uint32_t wait_for_command(ThreadPool *pool, uint32_t last_seen);
// After a run is over, before `lock` is released; `previous` is the command
// the run replaced.
void end_run(ThreadPool *pool, uint32_t previous);

inline uint32_t command_phase(uint32_t command) { return command >> 31; }

// Cuts [0, count) into thread_count contiguous shares in slot order, the
// first count mod N slots one item larger, and stores them in the slots.
// Only while no run is in flight.
void split_items(ThreadPool *pool, uint64_t count);

}  // namespace qx
