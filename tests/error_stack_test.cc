#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "base/error_catalogue.h"
#include "test_support.h"

using namespace qx;
using qx_test::collect_messages;
using qx_test::line;

namespace {

// Runs `body` on a fresh thread, which starts without an error slot.
template <typename Body>
void on_new_thread(Body body) {
  std::thread thread(body);
  thread.join();
}

TEST(StatusText, NamesEachStatusAndNothingElse) {
  const struct {
    QxStatus status;
    const char *text;
  } cases[] = {
      {0, "SUCCESS"},          {1, "OUT_OF_MEMORY"}, {2, "IO_ERROR"},
      {3, "INVALID_ARGUMENT"}, {4, "STOP_ITERATION"}, {5, "KEY_ERROR"},
      {6, "INVALID_STATE"},    {7, "RUNTIME_ERROR"},
  };
  for (const auto &c : cases) EXPECT_STREQ(qx_status_to_string(c.status), c.text);
  EXPECT_EQ(qx_status_to_string(8), nullptr);
  EXPECT_EQ(qx_status_to_string(-1), nullptr);
  EXPECT_EQ(qx_status_to_string(INT32_MIN), nullptr);
}

TEST(ErrorStack, FormatsLinesWithTagCodeAndDetail) {
  on_new_thread([] {
    error_stack_reset();
    QX_ERROR(errors::kArgumentNull, "object");
    QX_ERROR(errors::kLanguageCount);
    QX_ERROR(errors::kArgumentOutOfRange, "voice_threshold", 1.5, 0.0, 1.0);
    QX_TRACE("e53e8fe");
    const std::vector<std::string> expected = {
        "da6b4f4 00000064: Argument `object` is NULL.",
        "da6b4f4 0000006F: Marlow Error.",
        "da6b4f4 00000065: Argument `voice_threshold` value `1.50` is out of range [0.00, 1.00].",
        "da6b4f4 00000136: e53e8fe",
    };
    EXPECT_EQ(collect_messages(), expected);
  });
}

TEST(ErrorStack, TruncatesLongDetailAndTerminates) {
  on_new_thread([] {
    error_stack_reset();
    const std::string long_detail(2000, 'x');
    QX_ERROR(errors::kTrace, long_detail.c_str());
    const auto lines = collect_messages();
    ASSERT_EQ(lines.size(), 1u);
    // 491 detail characters after the 18-character head, within 511.
    EXPECT_EQ(lines[0], line(310, std::string(491, 'x')));
  });
}

TEST(ErrorStack, ThreadWithoutFailureHasNoStack) {
  on_new_thread([] {
    char **stack = reinterpret_cast<char **>(1);
    int32_t depth = 5;
    EXPECT_EQ(qx_get_error_stack(&stack, &depth), QX_STATUS_INVALID_STATE);
    EXPECT_EQ(stack, nullptr);
    EXPECT_EQ(depth, 0);
  });
}

TEST(ErrorStack, NullArgumentsAreRejectedWithoutWriting) {
  int32_t depth = 3;
  char **stack = nullptr;
  EXPECT_EQ(qx_get_error_stack(nullptr, &depth), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(qx_get_error_stack(&stack, nullptr), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(qx_get_error_stack(nullptr, nullptr), QX_STATUS_INVALID_ARGUMENT);
}

TEST(ErrorStack, StaleMessagesSurviveUntilTheNextPush) {
  on_new_thread([] {
    // A failing call, then a succeeding one: the failure stays readable.
    error_stack_reset();
    QX_TRACE("aaaaaaa");
    error_stack_reset();
    EXPECT_EQ(collect_messages(), std::vector<std::string>{line(310, "aaaaaaa")});

    // A failing call, then another failing one: only the second remains.
    error_stack_reset();
    QX_TRACE("aaaaaaa");
    error_stack_reset();
    QX_TRACE("bbbbbbb");
    EXPECT_EQ(collect_messages(), std::vector<std::string>{line(310, "bbbbbbb")});

    // Collecting releases the slot.
    QxStatus status = QX_STATUS_SUCCESS;
    EXPECT_TRUE(collect_messages(&status).empty());
    EXPECT_EQ(status, QX_STATUS_INVALID_STATE);
  });
}

TEST(ErrorStack, KeepsTheFirstEightMessages) {
  on_new_thread([] {
    error_stack_reset();
    for (int i = 0; i < 10; ++i) QX_TRACE(std::to_string(i).c_str());
    std::vector<std::string> expected;
    for (int i = 0; i < 8; ++i) expected.push_back(line(310, std::to_string(i)));
    EXPECT_EQ(collect_messages(), expected);
  });
}

TEST(ErrorStack, FreeingAStackFreesEightStringsAndTheArray) {
  on_new_thread([] {
    error_stack_reset();
    QX_TRACE("1234567");
    char **stack = nullptr;
    int32_t depth = 0;
    ASSERT_EQ(qx_get_error_stack(&stack, &depth), QX_STATUS_SUCCESS);
    EXPECT_EQ(depth, 1);
    for (int i = 1; i < 8; ++i) EXPECT_STREQ(stack[i], "");
    const long before = allocator_testing::live_blocks();
    qx_free_error_stack(stack);
    EXPECT_EQ(allocator_testing::live_blocks(), before - 9);
    qx_free_error_stack(nullptr);
  });
}

TEST(ErrorStack, SpareSetFailuresDeliverWhatTheyCan) {
  on_new_thread([] {
    qx_test::FaultInjectionOff restore;
    error_stack_reset();
    QX_TRACE("aaaaaaa");
    // The replacement set cannot be made: messages arrive, status says so.
    allocator_testing::fail_after(0, /*persistent=*/true);
    QxStatus status = QX_STATUS_SUCCESS;
    EXPECT_EQ(collect_messages(&status), std::vector<std::string>{line(310, "aaaaaaa")});
    EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);

    // Without a spare set nothing can be handed out; the slot keeps its lines.
    QX_TRACE("bbbbbbb");
    error_stack_reset();  // still failing: the set stays absent
    EXPECT_TRUE(collect_messages(&status).empty());
    EXPECT_EQ(status, QX_STATUS_INVALID_STATE);

    allocator_testing::fail_after(-1);
    error_stack_reset();
    EXPECT_EQ(collect_messages(&status), std::vector<std::string>{line(310, "bbbbbbb")});
    EXPECT_EQ(status, QX_STATUS_SUCCESS);
  });
}

TEST(ErrorStackThreads, ManyThreadsPushAndCollectOnlyTheirOwnLines) {
  constexpr int kThreads = 200;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int round = 0; round < 20; ++round) {
        error_stack_reset();
        const std::string tag = std::to_string(t) + "/" + std::to_string(round);
        QX_TRACE(tag.c_str());
        QxStatus status = QX_STATUS_SUCCESS;
        const auto lines = collect_messages(&status);
        // Every slot may be briefly taken by others; then the line is lost,
        // never mixed up with another thread's.
        if (status == QX_STATUS_INVALID_STATE && lines.empty()) continue;
        if (lines != std::vector<std::string>{line(310, tag)}) mismatches++;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ErrorStackThreads, OneHundredTwentyEightSlotsAtOnce) {
  constexpr int kThreads = 200;
  std::atomic<int> arrived{0}, delivered{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      error_stack_reset();
      QX_TRACE("0000000");
      // Everyone holds a slot (or was refused one) before anyone collects.
      arrived++;
      while (arrived.load() < kThreads) std::this_thread::yield();
      QxStatus status = QX_STATUS_SUCCESS;
      const auto lines = collect_messages(&status);
      (status == QX_STATUS_SUCCESS && lines.size() == 1 ? delivered : refused)++;
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(delivered.load(), kErrorThreadSlots);
  EXPECT_EQ(refused.load(), kThreads - kErrorThreadSlots);
}

// The voice detector resets the stack at each of a frame's 64 steps: those
// resets must not meet other threads at the process-wide lock, whether the
// thread holds a slot or not.
TEST(ErrorStackThreads, ResetsNeverWaitForTheLock) {
  error_stack_reset();  // the spare set exists from here on
  const struct {
    const char *what;
    bool holds_slot;
  } rows[] = {{"thread without a slot", false}, {"thread holding its slot", true}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_TRUE(qx_test::finishes_while_error_lock_held(
        [&] {
          error_stack_reset();
          if (row.holds_slot) QX_TRACE("3333333");
        },
        [] {
          for (int step = 0; step < 64; ++step) error_stack_reset();
        }));
  }
}

// A reset leaves the messages readable (stale) until the thread's next
// push, whether or not the reset took any lock.
TEST(ErrorStack, ResetsWithoutTheLockKeepStaleMessagesUntilTheNextPush) {
  on_new_thread([] {
    error_stack_reset();
    QX_TRACE("4444444");
    for (int step = 0; step < 64; ++step) error_stack_reset();
    EXPECT_EQ(collect_messages(), std::vector<std::string>{line(310, "4444444")});
    error_stack_reset();
    QX_TRACE("5555555");
    for (int step = 0; step < 64; ++step) error_stack_reset();
    QX_TRACE("6666666");
    EXPECT_EQ(collect_messages(), std::vector<std::string>{line(310, "6666666")});
  });
}

TEST(ErrorStackThreads, ExitedThreadsGiveTheirSlotsBack) {
  // Threads that never collect would otherwise silence every later thread.
  for (int t = 0; t < 3 * kErrorThreadSlots; ++t) {
    on_new_thread([] {
      error_stack_reset();
      QX_TRACE("1111111");
    });
  }
  on_new_thread([] {
    error_stack_reset();
    QX_TRACE("2222222");
    EXPECT_EQ(collect_messages(), std::vector<std::string>{line(310, "2222222")});
  });
}

// A thread may still push and collect while the process exits and destroys
// its static objects: nothing it touches may be freed or destroyed by then.
// ThreadSanitizer sees the race even when the timing hides it; a use after
// free fails the exit under AddressSanitizer.
TEST(ErrorStackThreadsDeathTest, CollectingWhileTheProcessExitsIsSafe) {
#if defined(QX_TESTS_UNDER_EMULATOR)
  // A user-mode emulator cannot re-execute the program, as the threadsafe
  // style does. Death tests run first, while this is the only thread, so a
  // plain fork is as safe here.
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EXIT(
        {
          std::atomic<int> started{0};
          for (int t = 0; t < 4; ++t) {
            std::thread([&started] {
              for (bool first = true;; first = false) {
                qx::error_stack_reset();
                QX_ERROR(qx::errors::kTrace, "exit");
                char **messages = nullptr;
                int32_t depth = 0;
                if (qx_get_error_stack(&messages, &depth) == QX_STATUS_SUCCESS) {
                  qx_free_error_stack(messages);
                }
                if (first) started.fetch_add(1);
              }
            }).detach();
          }
          while (started.load() < 4) std::this_thread::yield();
          std::exit(0);
        },
        testing::ExitedWithCode(0), "");
  }
}

// The console line of each build: plain on Windows, red elsewhere.
#if defined(_WIN32)
constexpr char kFirstLine[] = "[ERROR] first\n";
#else
constexpr char kFirstLine[] = "\033[31m[ERROR] first\033[0m\n";
#endif

TEST(ConsoleLog, PrintsOnlyWhileEnabled) {
  testing::internal::CaptureStdout();
  console_log(platform::kConsoleErrorLineFormat, "first");
  qx_log_disable();
  console_log(platform::kConsoleErrorLineFormat, "hidden");
  qx_log_enable();
  console_log("%d\n", 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kFirstLine) + "42\n");
}

// Windows prints UTF-8 lines, so every line first switches the console to
// UTF-8 (65001), whatever the host set in between; a disabled log touches
// nothing. Other builds have no code page to set.
TEST(ConsoleLog, EveryLineSwitchesAWindowsConsoleToUtf8) {
  testing::internal::CaptureStdout();
#if defined(_WIN32)
  constexpr UINT kOem = 437;
  const bool has_console = GetConsoleOutputCP() != 0;
  for (int line = 0; line < 2; ++line) {
    if (has_console) {
      ASSERT_TRUE(SetConsoleOutputCP(kOem));
    }
    qx_log_disable();
    console_log("%s", "hidden");
    if (has_console) {
      EXPECT_EQ(GetConsoleOutputCP(), kOem);
    }
    qx_log_enable();
    console_log("%s", "shown");
    if (has_console) {
      EXPECT_EQ(GetConsoleOutputCP(), 65001u) << "line " << line;
    }
    EXPECT_EQ(platform::console_code_page_set(), 65001u);
  }
  // Without a console (output captured, as under CTest) only the library's
  // own record of the switch is there to check.
  RecordProperty("console", has_console ? "yes" : "none");
#else
  console_log("%s", "shown");
  EXPECT_EQ(platform::console_code_page_set(), 0u);
#endif
  testing::internal::GetCapturedStdout();
}

TEST(ConsoleLog, PushingNeverPrints) {
  on_new_thread([] {
    testing::internal::CaptureStdout();
    error_stack_reset();
    QX_TRACE("3333333");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    collect_messages();
  });
}

}  // namespace
