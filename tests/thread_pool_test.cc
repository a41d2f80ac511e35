#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "cpu/thread_pool_internal.h"
#include "runtime/allocator.h"

namespace qx {
namespace {

ThreadPool *make_pool(uint32_t threads) {
  ThreadPool *pool = nullptr;
  EXPECT_EQ(thread_pool_create(threads, &pool), QX_STATUS_SUCCESS);
  return pool;
}

struct Hits {
  std::atomic<uint32_t> *counts;
};
void count_item(const void *task, uint64_t item) {
  static_cast<const Hits *>(task)->counts[item].fetch_add(1, std::memory_order_relaxed);
}

// Runs `count` items and returns how many of the first count + 64 counters
// are wrong (each must be hit exactly once inside the range, never outside);
// leaves every counter at 0.
int run_and_check(ThreadPool *pool, PoolTrampoline trampoline, uint64_t count,
                  std::vector<std::atomic<uint32_t>> &counts) {
  Hits task{counts.data()};
  thread_pool_run(pool, trampoline, count_item, &task, count);
  int wrong = 0;
  for (uint64_t i = 0; i < count + 64 && i < counts.size(); ++i) {
    wrong += counts[i].exchange(0) != (i < count ? 1u : 0u);
  }
  return wrong;
}

struct SlowFirst {
  std::atomic<uint64_t> *others_done;
  uint64_t count;
};
// Item 0 only returns once every other item has run, so a run finishes only
// when other threads steal the rest of item 0's share.
void slow_first_item(const void *task, uint64_t item) {
  const auto *t = static_cast<const SlowFirst *>(task);
  if (item != 0) {
    t->others_done->fetch_add(1, std::memory_order_release);
    return;
  }
  while (t->others_done->load(std::memory_order_acquire) != t->count - 1) platform::thread_yield();
}

const PoolTrampoline kClaimings[] = {claim_items_cas, claim_items_fetch};

// (thread count, claiming routine)
class PoolRuns : public ::testing::TestWithParam<std::tuple<uint32_t, int>> {
 protected:
  uint32_t threads() const { return std::get<0>(GetParam()); }
  PoolTrampoline claiming() const { return kClaimings[std::get<1>(GetParam())]; }
};

TEST_P(PoolRuns, EveryItemRunsExactlyOnce) {
  ThreadPool *pool = make_pool(threads());
  std::vector<uint64_t> counts = {0, 1, 2, 3, 5, 7, 10, 13, 97, 1009, 65537, 100003};
  std::mt19937 random(threads());
  for (int i = 0; i < 100; ++i) counts.push_back(random() % 3001);
  std::vector<std::atomic<uint32_t>> hits(100003 + 64);
  for (uint64_t count : counts) ASSERT_EQ(run_and_check(pool, claiming(), count, hits), 0) << count;
  thread_pool_destroy(pool);
}

TEST_P(PoolRuns, OthersStealTheShareOfASlowItem) {
  ThreadPool *pool = make_pool(threads());
  for (uint64_t count : {2ull, 64ull, 1001ull}) {
    std::atomic<uint64_t> others_done{0};
    SlowFirst task{&others_done, count};
    thread_pool_run(pool, claiming(), slow_first_item, &task, count);
    EXPECT_EQ(others_done.load(), count - 1);
  }
  thread_pool_destroy(pool);
}

TEST_P(PoolRuns, RunsFromTwoHostThreadsTakeTurns) {
  ThreadPool *pool = make_pool(threads());
  std::atomic<int> wrong{0};
  auto host = [&](uint64_t stride) {
    std::vector<std::atomic<uint32_t>> hits(1000 + 64);
    for (uint64_t r = 0; r < 200; ++r) wrong += run_and_check(pool, claiming(), r * stride % 1000, hits);
  };
  std::thread first(host, 7), second(host, 13);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
  thread_pool_destroy(pool);
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndClaiming, PoolRuns,
                         ::testing::Combine(::testing::Values(2u, 3u, 4u), ::testing::Values(0, 1)));

TEST(ThreadPool, SplitsIntoContiguousSharesLargestFirst) {
  const uint64_t half = 1ull << 63;
  struct Case {
    uint32_t threads;
    uint64_t count;
    std::vector<uint64_t> sizes;
  } cases[] = {
      {4, 10, {3, 3, 2, 2}}, {4, 0, {0, 0, 0, 0}}, {4, 3, {1, 1, 1, 0}},
      {3, 9, {3, 3, 3}},     {2, 1, {1, 0}},       {2, ~0ull, {half, half - 1}},
  };
  for (const Case &c : cases) {
    ThreadPool *pool = make_pool(c.threads);
    split_items(pool, c.count);
    uint64_t begin = 0;
    for (uint32_t i = 0; i < c.threads; ++i) {
      const WorkerSlot &slot = pool_slots(pool)[i];
      EXPECT_EQ(slot.begin, begin) << c.count << " items, slot " << i;
      EXPECT_EQ(slot.end.load(), begin + c.sizes[i]) << c.count << " items, slot " << i;
      EXPECT_EQ(static_cast<uint64_t>(slot.remaining.load()), c.sizes[i]);
      begin += c.sizes[i];
    }
    thread_pool_destroy(pool);
  }
}

TEST(ThreadPool, FetchClaimingOnlyWhereCountersCannotReachTheInvalidRange) {
  ThreadPool *pool = make_pool(3);
  EXPECT_EQ(choose_claiming(pool, 0), claim_items_fetch);
  EXPECT_EQ(choose_claiming(pool, ~0ull - 3), claim_items_fetch);
  EXPECT_EQ(choose_claiming(pool, ~0ull - 2), claim_items_cas);
  EXPECT_EQ(choose_claiming(pool, ~0ull), claim_items_cas);
  thread_pool_destroy(pool);
}

TEST(ThreadPool, CreateAndDestroyManyTimes) {
  const long live = allocator_testing::live_blocks();
  std::vector<std::atomic<uint32_t>> hits(64 + 64);
  for (uint32_t cycle = 0; cycle < 150; ++cycle) {
    ThreadPool *pool = make_pool(2 + cycle % 3);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(thread_pool_thread_count(pool), 2 + cycle % 3);
    // Every other pool is destroyed without ever running.
    if (cycle % 2) {
      EXPECT_EQ(run_and_check(pool, claim_items_cas, cycle % 64, hits), 0);
    }
    thread_pool_destroy(pool);
  }
  thread_pool_destroy(nullptr);
  EXPECT_EQ(allocator_testing::live_blocks(), live);
}

TEST(ThreadPool, CreationFailuresLeaveNothingBehind) {
  ThreadPool *const untouched = reinterpret_cast<ThreadPool *>(0x40);
  ThreadPool *pool = untouched;
  const long live = allocator_testing::live_blocks();
  EXPECT_EQ(thread_pool_create(0, &pool), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(thread_pool_create(1, &pool), QX_STATUS_INVALID_ARGUMENT);

  allocator_testing::fail_after(0);
  EXPECT_EQ(thread_pool_create(4, &pool), QX_STATUS_OUT_OF_MEMORY);
  allocator_testing::fail_after(-1);

  for (uint32_t threads = 2; threads <= 5; ++threads) {
    for (long failing = 0; failing < static_cast<long>(threads) - 1; ++failing) {
      platform::fail_thread_create_after(failing);
      EXPECT_EQ(thread_pool_create(threads, &pool), QX_STATUS_RUNTIME_ERROR)
          << threads << " threads, worker " << failing + 1 << " refused";
      platform::fail_thread_create_after(-1);
    }
  }
  EXPECT_EQ(pool, untouched);
  EXPECT_EQ(allocator_testing::live_blocks(), live);
}

}  // namespace
}  // namespace qx
