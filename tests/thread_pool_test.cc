#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "cpu/thread_pool_internal.h"
#include "base/allocator.h"

namespace qx {
namespace {

using Counters = std::vector<std::atomic<uint32_t>>;

ThreadPool *make_pool(uint32_t threads) {
  ThreadPool *pool = nullptr;
  EXPECT_EQ(thread_pool_create(threads, &pool), QX_STATUS_SUCCESS);
  return pool;
}

void count_item(const void *task, uint64_t item) {
  // Some slow items keep workers busy when the runner runs out of work.
  if (item % 61 == 1) platform::thread_yield();
  (**static_cast<Counters *const *>(task))[item].fetch_add(1, std::memory_order_relaxed);
}

// Runs `count` items, returns how many counters of [0, count + 64) are not
// 1 inside the range and 0 beyond it, and resets them.
int run_and_check(ThreadPool *pool, PoolTrampoline claiming, uint64_t count, Counters &hits) {
  Counters *task = &hits;
  thread_pool_run_claiming(pool, claiming, count_item, &task, count);
  int wrong = 0;
  for (uint64_t i = 0; i < count + 64 && i < hits.size(); ++i) wrong += hits[i].exchange(0) != (i < count);
  return wrong;
}

// Item 0 returns only after every other item has run, so a run can finish
// only if other threads steal the rest of item 0's share.
void slow_first_item(const void *task, uint64_t item) {
  auto *others_done = *static_cast<std::atomic<uint64_t> *const *>(task);
  if (item != 0) others_done[0].fetch_add(1, std::memory_order_release);
  while (item == 0 && others_done[0].load(std::memory_order_acquire) != others_done[1].load()) {
    platform::thread_yield();
  }
}

// (thread count, claiming routine)
class PoolRuns : public ::testing::TestWithParam<std::tuple<uint32_t, PoolTrampoline>> {
 protected:
  void SetUp() override { pool = make_pool(std::get<0>(GetParam())); }
  void TearDown() override { thread_pool_destroy(pool); }
  PoolTrampoline claiming() const { return std::get<1>(GetParam()); }
  ThreadPool *pool = nullptr;
};

TEST_P(PoolRuns, EveryItemRunsExactlyOnce) {
  std::vector<uint64_t> counts = {0, 1, 2, 3, 5, 7, 10, 13, 97, 1009, 65537, 100003};
  std::mt19937 random(std::get<0>(GetParam()));
  for (int i = 0; i < 100; ++i) counts.push_back(random() % 3001);
  Counters hits(100003 + 64);
  for (uint64_t count : counts) ASSERT_EQ(run_and_check(pool, claiming(), count, hits), 0) << count;
}

TEST_P(PoolRuns, OthersStealTheShareOfASlowItem) {
  for (uint64_t count : {2, 64, 1001}) {
    std::atomic<uint64_t> others_done[2] = {{0}, {count - 1}};  // done, to do
    std::atomic<uint64_t> *task = others_done;
    thread_pool_run_claiming(pool, claiming(), slow_first_item, &task, count);
    EXPECT_EQ(others_done[0].load(), count - 1);
  }
}

TEST_P(PoolRuns, RunsFromTwoHostThreadsTakeTurns) {
  std::atomic<int> wrong{0};
  auto host = [&](uint64_t stride) {
    Counters hits(1000 + 64);
    for (uint64_t r = 0; r < 200; ++r) wrong += run_and_check(pool, claiming(), r * stride % 1000, hits);
  };
  std::thread first(host, 7), second(host, 13);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Runs far apart: every worker and the runner have spun out and block on
// the sleeping scheme's wake-up (futex or event) before each run, so a lost
// or stale wake-up hangs the test or leaves items undone.
TEST_P(PoolRuns, RunsAfterEveryThreadFellAsleep) {
  Counters hits(97 + 64);
  for (int round = 0; round < 6; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(run_and_check(pool, claiming(), 97, hits), 0) << round;
  }
}

// Many short runs back to back, most of them empty: a worker that wakes
// late for one run may find the gate of the next, and must take part in
// each run at most once (a second pass makes a second claim on an empty
// share, which the fetch-and-decrement routine could take for a valid one).
TEST_P(PoolRuns, BackToBackRunsCountEveryItemOnce) {
  constexpr uint64_t kRuns = 300000, kLong = 1000;
  Counters hits(kLong + 64);
  Counters *task = &hits;
  const PoolKernel count_quickly = [](const void *task, uint64_t item) {
    (**static_cast<Counters *const *>(task))[item].fetch_add(1, std::memory_order_relaxed);
  };
  // Run r has no items but every fourth has r % 3, every 100th kLong.
  const auto items = [](uint64_t r) {
    return r % 100 == 99 ? kLong : (r % 4 == 0 ? r % 3 : 0);
  };
  std::vector<uint32_t> want(hits.size(), 0);
  for (uint64_t r = 0; r < kRuns; ++r) {
    thread_pool_run_claiming(pool, claiming(), count_quickly, &task, items(r));
    for (uint64_t i = 0; i < items(r); ++i) ++want[i];
  }
  int wrong = 0;
  for (uint64_t i = 0; i < hits.size(); ++i) wrong += hits[i].load() != want[i];
  EXPECT_EQ(wrong, 0);
}

// An item that takes far longer than the runner's spinning: whichever
// thread runs it, the run returns only after it is done, the runner having
// slept until the worker inside left.
void slow_item_one(const void *task, uint64_t item) {
  if (item != 1) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  (*static_cast<std::atomic<int> *const *>(task))->store(1, std::memory_order_relaxed);
}

TEST_P(PoolRuns, RunsEndAfterTheirSlowestItem) {
  for (int round = 0; round < 3; ++round) {
    std::atomic<int> done{0};
    std::atomic<int> *task = &done;
    thread_pool_run_claiming(pool, claiming(), slow_item_one, &task, 2);
    EXPECT_EQ(done.load(std::memory_order_relaxed), 1) << round;
  }
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndClaiming, PoolRuns,
                         ::testing::Combine(::testing::Values(2u, 3u, 4u),
                                            ::testing::Values(claim_items_cas, claim_items_fetch)));

TEST(ThreadPool, SplitsIntoContiguousSharesLargestFirst) {
  const uint64_t half = 1ull << 63;
  const std::vector<uint64_t> cases[] = {
      // thread count, item count, share sizes
      {4, 10, 3, 3, 2, 2}, {4, 0, 0, 0, 0, 0}, {4, 3, 1, 1, 1, 0},
      {3, 9, 3, 3, 3},     {2, 1, 1, 0},       {2, ~0ull, half, half - 1},
  };
  for (const auto &c : cases) {
    ThreadPool *pool = make_pool(static_cast<uint32_t>(c[0]));
    split_items(pool, c[1]);
    for (uint64_t i = 0, begin = 0; i < c[0]; begin += c[2 + i++]) {
      const WorkerSlot &slot = pool_slots(pool)[i];
      EXPECT_EQ(slot.begin, begin) << c[1] << " items, slot " << i;
      EXPECT_EQ(slot.end.load(), begin + c[2 + i]) << c[1] << " items, slot " << i;
      EXPECT_EQ(static_cast<uint64_t>(slot.remaining.load()), c[2 + i]);
    }
    // Fetch claiming needs counts that keep its counters out of -1 .. -N,
    // and is never chosen on ARM.
    const PoolTrampoline below_limit = kPoolClaimsByFetch ? claim_items_fetch : claim_items_cas;
    EXPECT_EQ(choose_claiming(pool, 0), below_limit);
    EXPECT_EQ(choose_claiming(pool, ~0ull - c[0]), below_limit);
    EXPECT_EQ(choose_claiming(pool, ~0ull - c[0] + 1), claim_items_cas);
    thread_pool_destroy(pool);
  }
}

TEST(ThreadPool, ClaimsByCompareAndSwapOnlyOnArm) {
#if defined(__arm__)
  EXPECT_FALSE(kPoolClaimsByFetch);
#else
  EXPECT_TRUE(kPoolClaimsByFetch);
#endif
}

// 64-bit multipliers on 64-bit builds, 32-bit ones on 32-bit builds.
TEST(ThreadPool, DividesWithConstantsOfTheMachineWord) {
  ThreadPool *pool = make_pool(3);
  EXPECT_EQ(sizeof(pool->divisor.multiplier), sizeof(void *));
  EXPECT_EQ(pool->divisor.multiplier, word_divisor_make(3).multiplier);
  thread_pool_destroy(pool);
}

TEST(ThreadPool, CreateAndDestroyManyTimes) {
  const long live = allocator_testing::live_blocks();
  Counters hits(64 + 64);
  for (uint32_t cycle = 0; cycle < 150; ++cycle) {
    ThreadPool *pool = make_pool(2 + cycle % 3);
    ASSERT_EQ(thread_pool_thread_count(pool), 2 + cycle % 3);
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
#if !defined(__APPLE__)  // the macOS pool runs on the dispatcher's threads, starts none
  for (uint32_t threads = 2; threads <= 5; ++threads) {
    for (long refused = 0; refused + 1 < static_cast<long>(threads); ++refused) {
      platform::fail_thread_create_after(refused);
      EXPECT_EQ(thread_pool_create(threads, &pool), QX_STATUS_RUNTIME_ERROR) << threads << ", " << refused;
      platform::fail_thread_create_after(-1);
    }
  }
#endif
  EXPECT_EQ(pool, untouched);
  EXPECT_EQ(allocator_testing::live_blocks(), live);
}

}  // namespace
}  // namespace qx
