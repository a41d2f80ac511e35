#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model_file.h"
#include "model_writer.h"
#include "runtime/operation_table.h"
#include "test_support.h"

using qx_test::collect_messages;
using qx_test::line;

namespace {

using qx_test::ModelFile;

// Small shapes keep frames fast under the sanitizers.
qx_tools::ModelShape small_shape() {
  qx_tools::ModelShape shape;
  shape.hop_length = 1024;
  shape.num_mel_bands = 8;
  shape.level0_input_size = 16;
  shape.hidden_sizes = {12, 10};
  return shape;
}

struct Engine {
  QxOrb *orb = nullptr;
  ~Engine() { qx_orb_delete(orb); }
};

class EngineTest : public testing::Test {
 protected:
  void SetUp() override { live_before_ = qx_test::settled_live_blocks(); }
  void TearDown() override { EXPECT_EQ(qx_test::settled_live_blocks(), live_before_); }
  long live_before_ = 0;
};

TEST_F(EngineTest, ThresholdMustLieInTheUnitInterval) {
  ModelFile model(qx_tools::random_model(small_shape(), 1));
  const struct {
    float threshold;
    bool accepted;
    const char *shown;
  } cases[] = {{0.0f, true, ""},         {1.0f, true, ""},          {0.5f, true, ""},
               {1.0001f, false, "1.00"}, {-0.0001f, false, "-0.00"}, {NAN, false, "nan"},
               {INFINITY, false, "inf"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.threshold);
    Engine engine;
    const QxStatus status = qx_orb_init(model.path(), "cpu:1", c.threshold, &engine.orb);
    if (c.accepted) {
      EXPECT_EQ(status, QX_STATUS_SUCCESS);
      EXPECT_NE(engine.orb, nullptr);
      continue;
    }
    EXPECT_EQ(status, QX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(engine.orb, nullptr);
    EXPECT_EQ(collect_messages(),
              std::vector<std::string>{line(101, std::string("Argument `voice_threshold` value `") +
                                                     c.shown + "` is out of range [0.00, 1.00].")});
  }
}

TEST_F(EngineTest, NullArgumentsAreNamedAndLeaveOutputsAlone) {
  ModelFile model(qx_tools::random_model(small_shape(), 1));
  QxOrb *untouched = reinterpret_cast<QxOrb *>(0x10);
  EXPECT_EQ(qx_orb_init(nullptr, "cpu", 0.5f, &untouched), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{line(100, "Argument `model_path` is NULL.")});
  EXPECT_EQ(qx_orb_init(model.path(), nullptr, 0.5f, &untouched), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{line(100, "Argument `device` is NULL.")});
  EXPECT_EQ(qx_orb_init(model.path(), "cpu", 0.5f, nullptr), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{line(100, "Argument `object` is NULL.")});
  EXPECT_EQ(untouched, reinterpret_cast<QxOrb *>(0x10));

  Engine engine;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.5f, &engine.orb), QX_STATUS_SUCCESS);
  std::vector<int16_t> frame(32768, 0);
  float *scores = reinterpret_cast<float *>(0x20);
  EXPECT_EQ(qx_orb_process(nullptr, frame.data(), &scores), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{line(100, "Argument `object` is NULL.")});
  EXPECT_EQ(qx_orb_process(engine.orb, nullptr, &scores), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{line(100, "Argument `pcm` is NULL.")});
  EXPECT_EQ(qx_orb_process(engine.orb, frame.data(), nullptr), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{line(100, "Argument `scores` is NULL.")});
  EXPECT_EQ(scores, reinterpret_cast<float *>(0x20));
  qx_orb_delete(nullptr);
  qx_orb_scores_delete(nullptr);
}

TEST_F(EngineTest, InitFailuresEndWithTheEngineTag) {
  qx_tools::ModelDescription eight = qx_tools::random_model(small_shape(), 2);
  eight.num_languages = 8;
  qx_tools::fill_random_weights(&eight, 2);
  ModelFile eight_languages(eight);
  const std::string missing = testing::TempDir() + "no_such_model.qx";
  const struct {
    const char *path;
    const char *device;
    QxStatus status;
    std::vector<std::string> messages;
  } cases[] = {
      {missing.c_str(), "cpu:1", QX_STATUS_IO_ERROR,
       {line(201, "Failed to open file `" + missing + "`."), line(310, "e53e8fe")}},
      {eight_languages.path(), "cpu:1", QX_STATUS_INVALID_ARGUMENT,
       {qx_test::generic_line(111), line(310, "e53e8fe")}},
      {missing.c_str(), "tpu", QX_STATUS_INVALID_ARGUMENT,
       {line(802, "tpu is not a valid device string"), line(310, "6e3295a")}},
      {missing.c_str(), "cpu:z", QX_STATUS_INVALID_ARGUMENT, {line(310, "6e3295a")}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    QxOrb *orb = nullptr;
    EXPECT_EQ(qx_orb_init(c.path, c.device, 0.5f, &orb), c.status);
    EXPECT_EQ(orb, nullptr);
    EXPECT_EQ(collect_messages(), c.messages);
    // Nothing of the device context or the detector stays behind.
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
  }
}

TEST_F(EngineTest, SilenceIsUnvoicedAndSpeechGetsNineScores) {
  ModelFile model(qx_tools::random_model(small_shape(), 3));
  Engine gated, open;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.99f, &gated.orb), QX_STATUS_SUCCESS);
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &open.orb), QX_STATUS_SUCCESS);
  const std::vector<int16_t> silence(32768, 0);
  float *scores = reinterpret_cast<float *>(0x20);
  EXPECT_EQ(qx_orb_process(gated.orb, silence.data(), &scores), QX_STATUS_SUCCESS);
  EXPECT_EQ(scores, nullptr);

  // With threshold 0 every frame passes the gate, silence included.
  for (const auto &frame : {silence, qx_test::speech_like_frame(7)}) {
    ASSERT_EQ(qx_orb_process(open.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
    ASSERT_NE(scores, nullptr);
    double sum = 0;
    for (int l = 0; l < QX_ORB_NUM_LANGUAGES; ++l) {
      EXPECT_GT(scores[l], 0.0f);
      sum += scores[l];
    }
    EXPECT_NEAR(sum, 1.0, 1e-5);
    qx_orb_scores_delete(scores);
  }
}

TEST_F(EngineTest, FramesAreClassifiedIndependently) {
  ModelFile model(qx_tools::random_model(small_shape(), 4));
  Engine engine;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
  const auto frame = qx_test::speech_like_frame(9);
  std::vector<float> first, second;
  for (auto *out : {&first, &second}) {
    float *scores = nullptr;
    ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
    out->assign(scores, scores + QX_ORB_NUM_LANGUAGES);
    qx_orb_scores_delete(scores);
  }
  EXPECT_EQ(first, second);  // no feature or classifier state carries over
}

TEST_F(EngineTest, ProjectionChoices) {
  const struct {
    int32_t has_projection;
    QxStatus status;
  } cases[] = {{0, QX_STATUS_SUCCESS}, {1, QX_STATUS_SUCCESS}, {2, QX_STATUS_RUNTIME_ERROR}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.has_projection);
    qx_tools::ModelShape shape = small_shape();
    shape.has_projection = c.has_projection == 0 ? 0 : 1;
    shape.embedding_size = c.has_projection == 0 ? 0 : 6;
    qx_tools::ModelDescription description = qx_tools::random_model(shape, 5);
    description.has_projection = c.has_projection;
    ModelFile model(description);
    Engine engine;
    ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
    const auto frame = qx_test::speech_like_frame(1);
    float *scores = nullptr;
    EXPECT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), c.status);
    if (c.status == QX_STATUS_SUCCESS) {
      EXPECT_NE(scores, nullptr);
      qx_orb_scores_delete(scores);
    } else {
      EXPECT_EQ(scores, nullptr);
      EXPECT_EQ(collect_messages(),
                (std::vector<std::string>{line(310, "58c33c1"), line(310, "5cdbb5d")}));
    }
  }
}

QxStatus failing_softmax(void *, void *, const qx::OperandBlock *) {
  return QX_STATUS_RUNTIME_ERROR;
}
QxStatus failing_download(void *, qx::TensorBuffer *, void *, int32_t, int32_t) {
  return QX_STATUS_INVALID_STATE;
}
// What overflowing logits give: a "successful" download of NaN.
QxStatus nan_download(void *, qx::TensorBuffer *, void *destination, int32_t, int32_t length) {
  auto *scores = static_cast<float *>(destination);
  for (int32_t i = 0; i < length / 4; ++i) scores[i] = i == 3 ? NAN : 0.125f;
  return QX_STATUS_SUCCESS;
}

// The head and the download of its scores end with the same tag; the engine
// stays usable after either.
TEST_F(EngineTest, ScoreFailuresEndWithTheirTag) {
  ModelFile model(qx_tools::random_model(small_shape(), 17));
  Engine engine;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
  const auto frame = qx_test::speech_like_frame(2);
  qx::OperationTable &table = qx::operation_table();
  const struct {
    const char *name;
    qx::DeviceOpFn softmax;     // null: the CPU's
    qx::DownloadFn download;    // null: the CPU's
    QxStatus status;
    std::vector<std::string> messages;
  } cases[] = {
      {"head", failing_softmax, nullptr, QX_STATUS_RUNTIME_ERROR,
       {line(801, "Failed to execute operator"), line(310, "5668ddc")}},
      {"download", nullptr, failing_download, QX_STATUS_INVALID_STATE, {line(310, "5668ddc")}},
      {"scores that are not numbers", nullptr, nan_download, QX_STATUS_RUNTIME_ERROR,
       {line(801, "Failed to execute operator"), line(310, "5668ddc")}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    // softmax_f32 runs in the head only.
    const qx::DeviceOpFn saved_softmax = table.device_op[qx::kOpSoftmaxF32][qx::kDeviceCpu];
    const qx::DownloadFn saved_download = table.download[qx::kDeviceCpu];
    if (c.softmax) table.device_op[qx::kOpSoftmaxF32][qx::kDeviceCpu] = c.softmax;
    if (c.download) table.download[qx::kDeviceCpu] = c.download;
    float *scores = reinterpret_cast<float *>(0x20);
    const QxStatus status = qx_orb_process(engine.orb, frame.data(), &scores);
    table.device_op[qx::kOpSoftmaxF32][qx::kDeviceCpu] = saved_softmax;
    table.download[qx::kDeviceCpu] = saved_download;
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(scores, nullptr);
    EXPECT_EQ(collect_messages(), c.messages);

    ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
    qx_orb_scores_delete(scores);
  }
}

TEST_F(EngineTest, WithoutTimeStepsTheScoresAreSoftmaxOfTheBias) {
  qx_tools::ModelShape shape = small_shape();
  shape.hop_length = 20000;  // one feature frame, so no time step
  qx_tools::ModelDescription description = qx_tools::random_model(shape, 6);
  ModelFile model(description);
  Engine engine;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
  const auto frame = qx_test::speech_like_frame(2);
  float *scores = nullptr;
  ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
  double total = 0;
  std::vector<double> expected;
  for (float b : description.output_bias) total += std::exp(static_cast<double>(b));
  for (int l = 0; l < QX_ORB_NUM_LANGUAGES; ++l) {
    EXPECT_NEAR(scores[l], std::exp(static_cast<double>(description.output_bias[l])) / total,
                1e-6);
  }
  qx_orb_scores_delete(scores);
}

TEST_F(EngineTest, OddFeatureFrameCountsWork) {
  qx_tools::ModelShape shape = small_shape();
  shape.hop_length = 300;  // 109 feature frames, 54 time steps
  ModelFile model(qx_tools::random_model(shape, 8));
  Engine engine;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
  const auto frame = qx_test::speech_like_frame(3);
  float *scores = nullptr;
  ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
  EXPECT_NE(scores, nullptr);
  qx_orb_scores_delete(scores);
}

TEST_F(EngineTest, AWarmEngineAllocatesOnlyTheScoresArray) {
  ModelFile model(qx_tools::random_model(small_shape(), 10));
  Engine engine;
  ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
  const auto frame = qx_test::speech_like_frame(4);
  float *scores = nullptr;
  ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
  qx_orb_scores_delete(scores);
  const long before = qx::allocator_testing::allocation_count();
  constexpr int kFrames = 1000;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
    ASSERT_NE(scores, nullptr);
    qx_orb_scores_delete(scores);
  }
  EXPECT_EQ(qx::allocator_testing::allocation_count() - before, kFrames);
}

TEST_F(EngineTest, EnginesOnTwoThreadsMatchOneAfterTheOther) {
  ModelFile model(qx_tools::random_model(small_shape(), 11));
  auto run = [&](uint32_t seed, std::vector<float> *out) {
    Engine engine;
    ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
    for (int f = 0; f < 6; ++f) {
      const auto frame = qx_test::speech_like_frame(seed + f);
      float *scores = nullptr;
      ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
      out->insert(out->end(), scores, scores + QX_ORB_NUM_LANGUAGES);
      qx_orb_scores_delete(scores);
    }
  };
  std::vector<float> serial_a, serial_b, parallel_a, parallel_b;
  run(100, &serial_a);
  run(200, &serial_b);
  std::thread a([&] { run(100, &parallel_a); });
  std::thread b([&] { run(200, &parallel_b); });
  a.join();
  b.join();
  EXPECT_EQ(parallel_a, serial_a);
  EXPECT_EQ(parallel_b, serial_b);
}

// A frame's 64 detector steps each reset the error stack; engines on
// different threads must not meet at the process-wide error lock there (nor
// anywhere else on a successful frame).
TEST_F(EngineTest, FramesNeverWaitForTheErrorLock) {
  ModelFile model(qx_tools::random_model(small_shape(), 12));
  const auto frame = qx_test::speech_like_frame(300);
  for (const float threshold : {1.0f, 0.0f}) {  // unvoiced, voiced
    SCOPED_TRACE(threshold);
    Engine engine;
    bool scored = false;
    EXPECT_TRUE(qx_test::finishes_while_error_lock_held(
        [&] {
          ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", threshold, &engine.orb),
                    QX_STATUS_SUCCESS);
        },
        [&] {
          float *scores = nullptr;
          for (int f = 0; f < 3; ++f) {
            ASSERT_EQ(qx_orb_process(engine.orb, frame.data(), &scores), QX_STATUS_SUCCESS);
            scored = scores != nullptr;
            qx_orb_scores_delete(scores);
          }
        }));
    EXPECT_EQ(scored, threshold == 0.0f);
  }
}

TEST_F(EngineTest, EveryAllocationFailureInInitIsReported) {
  qx_test::FaultInjectionOff restore;
  ModelFile model(qx_tools::random_model(small_shape(), 12));
  const std::vector<std::string> failed_open = {
      line(201, std::string("Failed to open file `") + model.path() + "`."), line(310, "e53e8fe")};
  long failed_opens = 0;
  for (long n = 0;; ++n) {
    SCOPED_TRACE(n);
    QxOrb *orb = nullptr;
    qx::allocator_testing::fail_after(n);
    const QxStatus status = qx_orb_init(model.path(), "cpu:2", 0.5f, &orb);
    qx::allocator_testing::fail_after(-1);
    if (status == QX_STATUS_SUCCESS) {
      qx_orb_delete(orb);
      break;
    }
    EXPECT_EQ(orb, nullptr);
    const auto messages = collect_messages();
    if (status == QX_STATUS_IO_ERROR && messages == failed_open) {
      ++failed_opens;  // the path's conversion for opening (Windows)
    } else {
      EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
      ASSERT_FALSE(messages.empty());
      const std::string last = messages.back();
      EXPECT_TRUE(last == line(310, "e53e8fe") || last == line(310, "6e3295a")) << last;
    }
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
    ASSERT_LT(n, 200);
  }
  EXPECT_EQ(failed_opens, qx_test::kModelOpenAllocations);
}

TEST_F(EngineTest, EveryAllocationFailureInProcessIsReported) {
  qx_test::FaultInjectionOff restore;
  ModelFile model(qx_tools::random_model(small_shape(), 13));
  const auto frame = qx_test::speech_like_frame(5);
  for (long n = 0;; ++n) {
    SCOPED_TRACE(n);
    Engine engine;  // a cold cache each time, so every tensor is allocated
    ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.0f, &engine.orb), QX_STATUS_SUCCESS);
    float *scores = reinterpret_cast<float *>(0x20);
    qx::allocator_testing::fail_after(n);
    const QxStatus status = qx_orb_process(engine.orb, frame.data(), &scores);
    qx::allocator_testing::fail_after(-1);
    if (status == QX_STATUS_SUCCESS) {
      qx_orb_scores_delete(scores);
      break;
    }
    EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(scores, nullptr);
    EXPECT_FALSE(collect_messages().empty());
    ASSERT_LT(n, 200);
  }
}

}  // namespace
