#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "devices/device_selection.h"
#include "engine/classifier.h"
#include "runtime/device_context.h"
#include "test_support.h"

using namespace qx;
using qx_test::collect_messages;
using qx_test::line;

namespace {

class ClassifierTest : public testing::Test {
 protected:
  void SetUp() override {
    live_before_ = qx_test::settled_live_blocks();
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context_), QX_STATUS_SUCCESS);
  }
  void TearDown() override {
    for (TensorBuffer *tensor : tensors_) tensor_free(context_, tensor);
    release_device_context(context_);
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
  }

  template <typename T>
  TensorBuffer *tensor(const std::vector<T> &values) {
    const auto bytes = static_cast<int32_t>(values.size() * sizeof(T));
    TensorBuffer *made = tensor_alloc(context_, bytes, 0);
    upload(context_, made, values.data(), 0, bytes);
    tensors_.push_back(made);
    return made;
  }
  template <typename T>
  std::vector<T> contents(TensorBuffer *tensor, size_t count) {
    std::vector<T> values(count);
    download(context_, tensor, values.data(), 0, static_cast<int32_t>(count * sizeof(T)));
    return values;
  }

  RecurrentLayer random_layer(int32_t hidden, int32_t input, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> weight(-40, 40);
    std::vector<int8_t> weights(3 * hidden * (hidden + input)), bias(3 * hidden);
    for (auto &w : weights) w = static_cast<int8_t>(weight(random));
    for (auto &b : bias) b = static_cast<int8_t>(weight(random));
    return {hidden, input, tensor(weights), tensor(bias)};
  }
  std::vector<int16_t> random_rows(int32_t rows, int32_t width, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(-3000, 3000);
    std::vector<int16_t> out(rows * width);
    for (auto &v : out) v = static_cast<int16_t>(value(random));
    return out;
  }

  DeviceContext *context_ = nullptr;
  std::vector<TensorBuffer *> tensors_;
  long live_before_ = 0;
};

TEST_F(ClassifierTest, ReverseDirectionWritesTheRowOfEachTimeStep) {
  constexpr int32_t kH = 5, kI = 3, kT = 4;
  const RecurrentLayer layer = random_layer(kH, kI, 1);
  const std::vector<int16_t> x = random_rows(kT, kI, 2);
  std::vector<int16_t> x_reversed;
  for (int32_t t = kT - 1; t >= 0; --t) {
    x_reversed.insert(x_reversed.end(), x.begin() + t * kI, x.begin() + (t + 1) * kI);
  }
  TensorBuffer *y = tensor(std::vector<int16_t>(kT * kH));
  TensorBuffer *y_forward = tensor(std::vector<int16_t>(kT * kH));
  ASSERT_EQ(run_recurrent_layer(context_, &layer, y, tensor(x), kT, true, false), 0);
  ASSERT_EQ(run_recurrent_layer(context_, &layer, y_forward, tensor(x_reversed), kT, false, false),
            0);
  const auto backward = contents<int16_t>(y, kT * kH);
  const auto forward = contents<int16_t>(y_forward, kT * kH);
  for (int32_t t = 0; t < kT; ++t) {
    for (int32_t h = 0; h < kH; ++h) {
      EXPECT_EQ(backward[t * kH + h], forward[(kT - 1 - t) * kH + h]) << t << "," << h;
    }
  }
}

TEST_F(ClassifierTest, AccumulationSaturatesTheSumOfDirections) {
  constexpr int32_t kH = 6, kI = 4, kT = 3;
  const RecurrentLayer layer = random_layer(kH, kI, 3);
  TensorBuffer *x = tensor(random_rows(kT, kI, 4));
  TensorBuffer *alone = tensor(std::vector<int16_t>(kT * kH));
  ASSERT_EQ(run_recurrent_layer(context_, &layer, alone, x, kT, false, false), 0);
  const auto h = contents<int16_t>(alone, kT * kH);
  for (int16_t start : {int16_t{32767}, int16_t{-32768}, int16_t{100}}) {
    TensorBuffer *sum = tensor(std::vector<int16_t>(kT * kH, start));
    ASSERT_EQ(run_recurrent_layer(context_, &layer, sum, x, kT, false, true), 0);
    const auto out = contents<int16_t>(sum, kT * kH);
    for (int32_t i = 0; i < kT * kH; ++i) {
      const int32_t expected = std::min(32767, std::max(-32768, start + h[i]));
      EXPECT_EQ(out[i], expected) << i;
    }
  }
}

TEST_F(ClassifierTest, TheTrunkIgnoresAnOddLastFeatureFrame) {
  constexpr int32_t kBands = 3, kT = 4;
  RecurrentStack stack{};
  RecurrentLayer forward[1] = {random_layer(4, 2 * kBands, 5)};
  RecurrentLayer backward[1] = {random_layer(4, 2 * kBands, 6)};
  stack.num_layers = 1;
  stack.norm_epsilon = 1e-5f;
  stack.forward_layers = forward;
  stack.backward_layers = backward;
  stack.embedding_size = stack.pooled_size = 4;

  std::mt19937 random(7);
  std::normal_distribution<float> value(0.0f, 2.0f);
  std::vector<float> features((2 * kT + 1) * kBands);  // one frame too many
  for (float &f : features) f = value(random);
  std::vector<std::vector<float>> embeddings;
  for (float last : {0.0f, 1000.0f}) {
    for (int b = 0; b < kBands; ++b) features[2 * kT * kBands + b] = last;
    TensorBuffer *embedding = tensor(std::vector<float>(4));
    ASSERT_EQ(classifier_trunk(context_, &stack, embedding, tensor(features), kT), 0);
    embeddings.push_back(contents<float>(embedding, 4));
  }
  EXPECT_EQ(embeddings[0], embeddings[1]);
  EXPECT_NE(embeddings[0], std::vector<float>(4, 0.0f));
}

// A device kernel that fails, to walk the recurrent layer's failure path.
QxStatus failing_kernel(void *, void *, const OperandBlock *) { return QX_STATUS_RUNTIME_ERROR; }

TEST_F(ClassifierTest, AFailingCellIsReportedAndEveryScratchTensorReturns) {
  RecurrentStack stack{};
  RecurrentLayer forward[1] = {random_layer(4, 6, 8)};
  RecurrentLayer backward[1] = {random_layer(4, 6, 9)};
  stack.num_layers = 1;
  stack.forward_layers = forward;
  stack.backward_layers = backward;
  stack.embedding_size = stack.pooled_size = 4;
  TensorBuffer *embedding = tensor(std::vector<float>(4));
  TensorBuffer *features = tensor(std::vector<float>(4 * 6, 1.0f));

  DeviceOpFn &slot = operation_table().device_op[kOpLstmCellI16][kDeviceCpu];
  const DeviceOpFn saved = slot;
  slot = failing_kernel;
  error_stack_reset();
  const QxStatus status = classifier_trunk(context_, &stack, embedding, features, 2);
  slot = saved;
  EXPECT_EQ(status, QX_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(collect_messages(), (std::vector<std::string>{line(801, "Failed to execute operator"),
                                                          line(310, "ef77e92")}));
  // x, y, state and gates went back to the cache.
  int cached = 0;
  for (const CacheEntry &entry : context_->cache) cached += entry.buffer != nullptr;
  EXPECT_EQ(cached, 4);
}

// Fails the operator that writes `g_failing_output` and declines every other
// call, so that the reference operator runs those.
TensorBuffer *g_failing_output = nullptr;
QxStatus failing_into_output(void *, void *, const OperandBlock *operands) {
  return operands->tensor(0) == g_failing_output ? QX_STATUS_OUT_OF_MEMORY
                                                 : QX_STATUS_INVALID_ARGUMENT;
}

TEST_F(ClassifierTest, EveryFailureToMakeTheEmbeddingEndsWithItsTag) {
  const std::string kOperator = line(801, "Failed to execute operator");
  const std::string kTag = line(310, "58c33c1");
  const struct {
    const char *name;
    int32_t has_projection;
    int failing_opcode;  // -1: no operator fails
    QxStatus status;
    std::vector<std::string> messages;
  } cases[] = {
      {"copy", 0, kOpCopyBytes, QX_STATUS_OUT_OF_MEMORY, {kOperator, kTag}},
      {"projection", 1, kOpMatmulF32, QX_STATUS_OUT_OF_MEMORY, {kOperator, kTag}},
      {"has_projection 2", 2, -1, QX_STATUS_RUNTIME_ERROR, {kTag}},
  };
  RecurrentLayer forward[1] = {random_layer(4, 6, 10)};
  RecurrentLayer backward[1] = {random_layer(4, 6, 11)};
  TensorBuffer *features = tensor(std::vector<float>(4 * 6, 1.0f));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    RecurrentStack stack{};
    stack.num_layers = 1;
    stack.forward_layers = forward;
    stack.backward_layers = backward;
    stack.embedding_size = stack.pooled_size = 4;
    stack.has_projection = c.has_projection;
    stack.projection_weights = tensor(std::vector<float>(4 * 4, 0.5f));
    TensorBuffer *embedding = tensor(std::vector<float>(4));

    DeviceOpFn *slot =
        c.failing_opcode < 0 ? nullptr : &operation_table().device_op[c.failing_opcode][kDeviceCpu];
    const DeviceOpFn saved = slot ? *slot : nullptr;
    if (slot) *slot = failing_into_output;
    g_failing_output = embedding;
    error_stack_reset();
    const QxStatus status = classifier_trunk(context_, &stack, embedding, features, 2);
    if (slot) *slot = saved;
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(collect_messages(), c.messages);
  }
}

}  // namespace
