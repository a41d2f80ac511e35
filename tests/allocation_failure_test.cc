// Every public entry point that allocates, with its 1st, 2nd, ... allocation
// made to fail until the call gets through: each failure is reported as
// OUT_OF_MEMORY with messages, leaves the outputs as the header describes,
// leaks nothing, and the next ordinary call succeeds with the usual result.
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model_file.h"
#include "model_writer.h"
#include "test_support.h"

using qx_test::collect_messages;

namespace {

namespace allocator_testing = qx::allocator_testing;

// Small shapes keep the walks fast under the sanitizers.
qx_tools::ModelShape small_shape() {
  qx_tools::ModelShape shape;
  shape.hop_length = 1024;
  shape.num_mel_bands = 8;
  shape.level0_input_size = 16;
  shape.hidden_sizes = {12, 10};
  return shape;
}

// Non-null values no call hands out, so an output left untouched shows.
QxOrb *const kUnsetEngine = reinterpret_cast<QxOrb *>(0x10);
float *const kUnsetScores = reinterpret_cast<float *>(0x20);
char **const kUnsetStrings = reinterpret_cast<char **>(0x30);

// Threshold 0: every frame is classified, and its scores depend on the frame
// alone, not on the voice detector's state carried over from earlier frames.
constexpr float kAlwaysClassify = 0.0f;

struct Walk {
  const char *model = nullptr;
  std::vector<int16_t> frame;
  std::vector<float> expected_scores;       // the frame's scores from a fresh engine
  std::vector<std::string> expected_devices;
  QxOrb *engine = nullptr;  // made before failures start, where a case needs one
  // The outputs of the call under test.
  QxOrb *made = nullptr;
  float *scores = nullptr;
  char **strings = nullptr;
  int32_t count = 0;
};

QxOrb *new_engine(const Walk &walk) {
  QxOrb *engine = nullptr;
  EXPECT_EQ(qx_orb_init(walk.model, "cpu:2", kAlwaysClassify, &engine), QX_STATUS_SUCCESS);
  return engine;
}

std::vector<float> process(QxOrb *engine, const Walk &walk) {
  float *scores = nullptr;
  EXPECT_EQ(qx_orb_process(engine, walk.frame.data(), &scores), QX_STATUS_SUCCESS);
  std::vector<float> copy;
  if (scores) copy.assign(scores, scores + QX_ORB_NUM_LANGUAGES);
  qx_orb_scores_delete(scores);
  return copy;
}

std::vector<std::string> devices(const Walk &walk) {
  return std::vector<std::string>(walk.strings, walk.strings + walk.count);
}

// A message on the calling thread, from a call that fails for a bad argument.
void leave_a_message() {
  QxOrb *engine = nullptr;
  ASSERT_EQ(qx_orb_init(nullptr, "cpu:1", 0.5f, &engine), QX_STATUS_INVALID_ARGUMENT);
}
const std::string &left_message() {
  static const std::string text = qx_test::line(100, "Argument `model_path` is NULL.");
  return text;
}

struct EntryPoint {
  const char *name;  // the test's name
  // Runs before failures start.
  std::function<void(Walk &)> prepare;
  std::function<QxStatus(Walk &)> call;
  // The outputs of a call that failed, then whatever must go back.
  std::function<void(Walk &)> check_failure;
  // The outputs of a call that succeeded, then whatever must go back.
  std::function<void(Walk &)> check_success;
  // Undoes `prepare`.
  std::function<void(Walk &)> finish;
  // Runs before the ordinary call that follows a failure.
  std::function<void(Walk &)> before_retry;
  // The call's messages are for the host to collect (false for the copy-out itself).
  bool leaves_messages = true;
  // Opens the model file, whose path conversion may fail as a failed open.
  bool opens_model = false;
};

void nothing(Walk &) {}

const std::vector<EntryPoint> &entry_points() {
  static const std::vector<EntryPoint> table = {
      {"init", nothing,
       [](Walk &w) {
         w.made = kUnsetEngine;
         return qx_orb_init(w.model, "cpu:2", kAlwaysClassify, &w.made);
       },
       // No engine is handed out (InitLeavesTheEngineAsDescribed says what
       // *object holds).
       [](Walk &w) { EXPECT_TRUE(w.made == nullptr || w.made == kUnsetEngine) << w.made; },
       [](Walk &w) {
         EXPECT_EQ(process(w.made, w), w.expected_scores);
         qx_orb_delete(w.made);
       },
       nothing, nothing, /*leaves_messages=*/true, /*opens_model=*/true},

      // A cold engine: the first frame makes every tensor of the pipeline.
      {"process_first_frame", [](Walk &w) { w.engine = new_engine(w); },
       [](Walk &w) {
         w.scores = kUnsetScores;
         return qx_orb_process(w.engine, w.frame.data(), &w.scores);
       },
       [](Walk &w) { EXPECT_EQ(w.scores, nullptr); },
       [](Walk &w) {
         ASSERT_NE(w.scores, nullptr);
         EXPECT_EQ(std::vector<float>(w.scores, w.scores + QX_ORB_NUM_LANGUAGES),
                   w.expected_scores);
         qx_orb_scores_delete(w.scores);
       },
       [](Walk &w) { qx_orb_delete(w.engine); }, nothing},

      // A warm engine: only the scores array is new.
      {"process_warm_engine",
       [](Walk &w) {
         w.engine = new_engine(w);
         process(w.engine, w);
       },
       [](Walk &w) {
         w.scores = kUnsetScores;
         return qx_orb_process(w.engine, w.frame.data(), &w.scores);
       },
       [](Walk &w) { EXPECT_EQ(w.scores, nullptr); },
       [](Walk &w) {
         ASSERT_NE(w.scores, nullptr);
         EXPECT_EQ(std::vector<float>(w.scores, w.scores + QX_ORB_NUM_LANGUAGES),
                   w.expected_scores);
         qx_orb_scores_delete(w.scores);
       },
       [](Walk &w) { qx_orb_delete(w.engine); }, nothing},

      {"list_hardware_devices", nothing,
       [](Walk &w) {
         w.strings = kUnsetStrings;
         w.count = -1;
         return qx_orb_list_hardware_devices(&w.strings, &w.count);
       },
       [](Walk &w) {
         EXPECT_EQ(w.strings, nullptr);
         EXPECT_EQ(w.count, 0);
       },
       [](Walk &w) {
         EXPECT_EQ(devices(w), w.expected_devices);
         qx_orb_free_hardware_devices(w.strings, w.count);
       },
       nothing, nothing},

      // The copy-out hands over the prepared message set and makes the next
      // one: failing that still delivers the messages, as the header says.
      {"get_error_stack", [](Walk &) { leave_a_message(); },
       [](Walk &w) {
         w.strings = kUnsetStrings;
         w.count = -1;
         return qx_get_error_stack(&w.strings, &w.count);
       },
       [](Walk &w) {
         ASSERT_NE(w.strings, nullptr);
         ASSERT_EQ(w.count, 1);
         EXPECT_EQ(w.strings[0], left_message());
         for (int i = 1; i < 8; ++i) EXPECT_STREQ(w.strings[i], "") << i;
         qx_free_error_stack(w.strings);
         // Collected, so nothing is left to hand out.
         QxStatus status = QX_STATUS_SUCCESS;
         EXPECT_TRUE(collect_messages(&status).empty());
         EXPECT_EQ(status, QX_STATUS_INVALID_STATE);
       },
       [](Walk &w) {
         ASSERT_NE(w.strings, nullptr);
         ASSERT_EQ(w.count, 1);
         EXPECT_EQ(w.strings[0], left_message());
         qx_free_error_stack(w.strings);
       },
       nothing, [](Walk &) { leave_a_message(); }, /*leaves_messages=*/false},
  };
  return table;
}

// The frame's scores and the device list as they are with no failures.
class AllocationFailures : public testing::Test {
 protected:
  void SetUp() override {
    walk_.model = model_.path();
    walk_.frame = qx_test::speech_like_frame(77);
    QxOrb *engine = new_engine(walk_);
    walk_.expected_scores = process(engine, walk_);
    qx_orb_delete(engine);
    ASSERT_EQ(walk_.expected_scores.size(), size_t{QX_ORB_NUM_LANGUAGES});
    ASSERT_EQ(qx_orb_list_hardware_devices(&walk_.strings, &walk_.count), QX_STATUS_SUCCESS);
    walk_.expected_devices = devices(walk_);
    qx_orb_free_hardware_devices(walk_.strings, walk_.count);
    live_before_ = qx_test::settled_live_blocks();
  }

  qx_test::ModelFile model_{qx_tools::random_model(small_shape(), 21)};
  Walk walk_;
  long live_before_ = 0;
};

class AllocationFailure : public AllocationFailures,
                          public testing::WithParamInterface<size_t> {};

TEST_P(AllocationFailure, EachFailureIsReportedAndLeavesNothing) {
  const EntryPoint &entry = entry_points()[GetParam()];
  qx_test::FaultInjectionOff restore;
  long n = 0, failed_opens = 0;
  for (;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    ASSERT_LT(n, 500) << "no end to the allocations";
    entry.prepare(walk_);
    allocator_testing::fail_after(n);
    const QxStatus status = entry.call(walk_);
    allocator_testing::fail_after(-1);
    if (status == QX_STATUS_SUCCESS) {
      entry.check_success(walk_);
      entry.finish(walk_);
      break;
    }
    if (entry.opens_model && status == QX_STATUS_IO_ERROR) {
      ++failed_opens;  // converting the path for opening (Windows)
    } else {
      EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY) << qx_status_to_string(status);
    }
    entry.check_failure(walk_);
    if (entry.leaves_messages) {
      EXPECT_FALSE(collect_messages().empty());
    }

    // The next ordinary call, on what the failed one left (the same engine).
    entry.before_retry(walk_);
    const QxStatus again = entry.call(walk_);
    EXPECT_EQ(again, QX_STATUS_SUCCESS) << qx_status_to_string(again);
    if (again == QX_STATUS_SUCCESS) entry.check_success(walk_);
    entry.finish(walk_);
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
    if (HasFatalFailure()) return;
  }
  // A walk that never failed would prove nothing.
  EXPECT_GT(n, 0);
  EXPECT_EQ(failed_opens, entry.opens_model ? qx_test::kModelOpenAllocations : 0);
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
}

// Holds once the device context exists (the engine nulls *object then), not
// before: see the skip message.
// A failed device selection leaves *object as the host had it; every later
// failure leaves it null.
TEST_F(AllocationFailures, InitLeavesTheEngineAsDescribed) {
  qx_test::FaultInjectionOff restore;
  const std::string selection_failed = qx_test::line(310, "6e3295a");
  for (long n = 0;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    ASSERT_LT(n, 500);
    QxOrb *engine = kUnsetEngine;
    allocator_testing::fail_after(n);
    const QxStatus status = qx_orb_init(walk_.model, "cpu:2", kAlwaysClassify, &engine);
    allocator_testing::fail_after(-1);
    if (status == QX_STATUS_SUCCESS) {
      qx_orb_delete(engine);
      break;
    }
    const std::vector<std::string> messages = qx_test::collect_messages();
    const bool in_selection =
        std::find(messages.begin(), messages.end(), selection_failed) != messages.end();
    EXPECT_EQ(engine, in_selection ? kUnsetEngine : nullptr);
  }
}

// The entry points outside the walks allocate nothing: with every allocation
// failing they still release what they are given and answer their queries.
TEST_F(AllocationFailures, OtherEntryPointsNeedNoMemory) {
  qx_test::FaultInjectionOff restore;
  QxOrb *engine = new_engine(walk_);
  float *scores = nullptr;
  ASSERT_EQ(qx_orb_process(engine, walk_.frame.data(), &scores), QX_STATUS_SUCCESS);
  char **list = nullptr;
  int32_t count = 0;
  ASSERT_EQ(qx_orb_list_hardware_devices(&list, &count), QX_STATUS_SUCCESS);
  leave_a_message();
  char **stack = nullptr;
  int32_t depth = 0;
  ASSERT_EQ(qx_get_error_stack(&stack, &depth), QX_STATUS_SUCCESS);
  void *block = qx::heap_malloc(16);  // as the library hands out blocks for qx_free
  const long allocations = allocator_testing::allocation_count();

  allocator_testing::fail_after(0, /*persistent=*/true);
  EXPECT_EQ(qx_orb_frame_length(), 32768);
  EXPECT_EQ(qx_sample_rate(), 16000);
  EXPECT_STREQ(qx_orb_version(), "1.0.0");
  EXPECT_STREQ(qx_orb_language_to_string(QX_ORB_LANGUAGE_PT), "pt");
  EXPECT_STREQ(qx_status_to_string(QX_STATUS_OUT_OF_MEMORY), "OUT_OF_MEMORY");
  qx_log_disable();
  qx_log_enable();
  qx_orb_scores_delete(scores);
  qx_orb_free_hardware_devices(list, count);
  qx_free_error_stack(stack);
  qx_free(block);
  qx_orb_delete(engine);
  EXPECT_EQ(allocator_testing::allocation_count(), allocations);
  allocator_testing::fail_after(-1);
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, AllocationFailure,
                         testing::Range(size_t{0}, entry_points().size()),
                         [](const testing::TestParamInfo<size_t> &info) {
                           return std::string(entry_points()[info.param].name);
                         });

}  // namespace
