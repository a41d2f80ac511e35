// How a run's items are cut into shares, and the item-claiming routines
// every thread of a run executes: first its own share from the front, then
// the other shares from their ends, visiting the victims once each in
// descending circular order (s-1, ..., 0, N-1, ..., s+1).
//
// Claims use relaxed order: each claim is one read-modify-write on a single
// counter, which alone makes it unique; the items' results are published by
// the end-of-run report.
#include "cpu/thread_pool_internal.h"

namespace qx {
namespace {

// One claim by compare-and-swap: never takes `remaining` below 0, so it
// works for any count (shares above 2^63 wrap the signed field, which is
// only ever compared with 0).
struct TakeByCas {
  bool operator()(WorkerSlot &slot) const {
    int64_t left = slot.remaining.load(std::memory_order_relaxed);
    while (left != 0) {
      const auto fewer = static_cast<int64_t>(static_cast<uint64_t>(left) - 1);
      if (slot.remaining.compare_exchange_weak(left, fewer, std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
};

// One claim by a single fetch-and-decrement. A claim that finds the share
// empty still decrements, leaving `remaining` between -1 and -N (each thread
// makes at most one such claim per share); those values read as unsigned
// are the top N of the 64-bit range, so no valid count may reach them.
struct TakeByFetch {
  uint64_t first_invalid;  // 2^64 - N
  bool operator()(WorkerSlot &slot) const {
    const auto left = static_cast<uint64_t>(slot.remaining.fetch_sub(1, std::memory_order_relaxed));
    return left - 1 < first_invalid;
  }
};

template <typename Take>
void claim_items(ThreadPool *pool, WorkerSlot *slot, Take take) {
  const PoolKernel kernel = pool->kernel;
  const void *const task = pool->task;
  for (uint64_t item = slot->begin; take(*slot); ++item) kernel(task, item);

  const uint64_t n = pool->thread_count;
  WorkerSlot *slots = pool_slots(pool);
  for (uint64_t v = slot->index; (v = (v == 0 ? n : v) - 1) != slot->index;) {
    WorkerSlot &victim = slots[v];
    while (take(victim)) kernel(task, victim.end.fetch_sub(1, std::memory_order_relaxed) - 1);
  }
}

}  // namespace

void claim_items_cas(ThreadPool *pool, WorkerSlot *slot) { claim_items(pool, slot, TakeByCas{}); }

void claim_items_fetch(ThreadPool *pool, WorkerSlot *slot) {
  claim_items(pool, slot, TakeByFetch{0 - pool->thread_count});
}

PoolTrampoline choose_claiming(const ThreadPool *pool, uint64_t count) {
  return kPoolClaimsByFetch && count < 0 - pool->thread_count ? claim_items_fetch
                                                              : claim_items_cas;
}

void split_items(ThreadPool *pool, uint64_t count) {
  const uint64_t n = pool->thread_count;
  const uint64_t q = word_divide(count, static_cast<uint32_t>(n), pool->divisor);
  const uint64_t larger = count - q * n;
  WorkerSlot *slots = pool_slots(pool);
  uint64_t begin = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t share = q + (i < larger ? 1 : 0);
    slots[i].begin = begin;
    begin += share;
    slots[i].end.store(begin, std::memory_order_relaxed);
    slots[i].remaining.store(static_cast<int64_t>(share), std::memory_order_relaxed);
  }
}

}  // namespace qx
