// Whole engines with the CPU kernels against the same engines whose context
// forbids kernels (reference operators only). The voice detector and the
// classifier trunk are integer networks: their results agree bit for bit.
// The head runs matmul_f32 in the fused order and softmax_f32 with another
// exponential, so the scores agree within kScoreTolerance. Runs on two
// threads, every operator on the pool, give the one-thread results exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/kernel_plan.h"
#include "engine/classifier.h"
#include "engine/engine.h"
#include "frontend/log_mel.h"
#include "frontend/voice_detector.h"
#include "model_file.h"
#include "model_writer.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace qx {
namespace {

// Scores are probabilities; the fused order moves a logit by a few units in
// its last place, and the differences seen stay below 1e-7.
constexpr float kScoreTolerance = 1e-6f;

using qx_test::ModelFile;

std::vector<int16_t> test_frame(int kind, uint32_t seed) {
  std::vector<int16_t> frame(kFrameSamples, 0);
  uint32_t state = seed;
  for (size_t i = 0; i < frame.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double t = static_cast<double>(i) / 16000.0;
    const double noise = static_cast<int32_t>(state >> 16) - 32768;
    if (kind == 0) {  // voice-like: a gliding harmonic tone under noise
      const double voice = 9000 * std::sin(2 * M_PI * (150 + 40 * std::sin(2 * M_PI * 3 * t)) * t);
      frame[i] = static_cast<int16_t>(voice + noise / 16);
    } else if (kind == 1) {  // full-scale noise: saturating values throughout
      frame[i] = static_cast<int16_t>(noise);
    }  // kind 2: silence
  }
  return frame;
}

// An engine on `device`, optionally with reference operators only.
struct Engine {
  QxOrb *orb = nullptr;
  Engine(const char *model, const char *device, bool reference_only) {
    EXPECT_EQ(qx_orb_init(model, device, 0.0f, &orb), QX_STATUS_SUCCESS);
    if (orb && reference_only) orb->device_context->flags |= kContextReferenceOnly;
  }
  ~Engine() { qx_orb_delete(orb); }
  DeviceContext *context() const { return orb->device_context; }
};

// The three engines every test compares.
class KernelEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_threshold_ = kernel_testing::set_parallel_threshold(0); }
  void TearDown() override { kernel_testing::set_parallel_threshold(saved_threshold_); }

  // Kernels on one thread, reference operators, kernels on two threads.
  struct Trio {
    Engine kernels, reference, pooled;
    explicit Trio(const char *model)
        : kernels(model, "cpu:1", false),
          reference(model, "cpu:1", true),
          pooled(model, "cpu:2", false) {}
  };

  uint64_t saved_threshold_ = 0;
};

uint32_t bits_of(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// The embedding the trunk makes of `pcm` on the engine's context.
std::vector<float> trunk_embedding(const Engine &engine, const std::vector<int16_t> &pcm) {
  DeviceContext *context = engine.context();
  const ModelRecords &model = engine.orb->model;
  const RecurrentStack *stack = model.recurrent_stack;
  TensorBuffer *features = nullptr;
  const LogMelSettings settings = log_mel_settings(*model.feature_settings);
  EXPECT_EQ(extract_log_mel_features(context, &settings, pcm.data(),
                                     stack->forward_layers[0].input_size, &features),
            QX_STATUS_SUCCESS);
  TensorBuffer *embedding = acquire_buffer(context, stack->embedding_size * 4);
  const int32_t steps = kFrameSamples / model.feature_settings->hop_length / 2;
  EXPECT_EQ(classifier_trunk(context, stack, embedding, features, steps), QX_STATUS_SUCCESS);
  std::vector<float> values(static_cast<size_t>(stack->embedding_size));
  EXPECT_EQ(download(context, embedding, values.data(), 0, stack->embedding_size * 4),
            QX_STATUS_SUCCESS);
  recycle_buffer(context, embedding);
  recycle_buffer(context, features);
  return values;
}

TEST_F(KernelEngineTest, VoiceDetectorAgreesBitForBit) {
  ModelFile model(qx_tools::default_model(11));
  Trio engines(model.path());
  for (int kind : {0, 1, 2}) {
    const std::vector<int16_t> frame = test_frame(kind, 5);
    for (int32_t chunk = 0; chunk < kVoiceChunksPerFrame; ++chunk) {
      SCOPED_TRACE(::testing::Message() << "frame kind " << kind << ", chunk " << chunk);
      const int16_t *pcm = frame.data() + chunk * kVoiceChunkSamples;
      float by_kernels = -1, by_reference = -2, pooled = -3;
      ASSERT_EQ(voice_detector_probability(engines.kernels.orb->voice_detector, pcm, &by_kernels),
                QX_STATUS_SUCCESS);
      ASSERT_EQ(
          voice_detector_probability(engines.reference.orb->voice_detector, pcm, &by_reference),
          QX_STATUS_SUCCESS);
      ASSERT_EQ(voice_detector_probability(engines.pooled.orb->voice_detector, pcm, &pooled),
                QX_STATUS_SUCCESS);
      EXPECT_EQ(bits_of(by_kernels), bits_of(by_reference));
      EXPECT_EQ(bits_of(pooled), bits_of(by_reference));
    }
  }
}

// Without a projection the embedding is the sum over time of the top level's
// integer outputs: identical bits whatever ran the recurrent layers.
TEST_F(KernelEngineTest, TrunkEmbeddingAgreesBitForBit) {
  ModelFile model(qx_tools::default_model(12));
  Trio engines(model.path());
  for (int kind : {0, 1, 2}) {
    SCOPED_TRACE(::testing::Message() << "frame kind " << kind);
    const std::vector<int16_t> frame = test_frame(kind, 6);
    const std::vector<float> by_reference = trunk_embedding(engines.reference, frame);
    const std::vector<float> by_kernels = trunk_embedding(engines.kernels, frame);
    const std::vector<float> pooled = trunk_embedding(engines.pooled, frame);
    ASSERT_EQ(by_kernels.size(), by_reference.size());
    for (size_t i = 0; i < by_reference.size(); ++i) {
      EXPECT_EQ(bits_of(by_kernels[i]), bits_of(by_reference[i])) << "element " << i;
      EXPECT_EQ(bits_of(pooled[i]), bits_of(by_reference[i])) << "element " << i;
    }
  }
}

TEST_F(KernelEngineTest, ScoresAgreeWithinTheTolerance) {
  qx_tools::ModelShape projected;
  projected.has_projection = 1;
  projected.embedding_size = 64;
  const qx_tools::ModelDescription models[] = {qx_tools::default_model(13),
                                               qx_tools::random_model(projected, 14)};
  for (const auto &description : models) {
    SCOPED_TRACE(description.has_projection ? "with a projection" : "default model");
    ModelFile model(description);
    Trio engines(model.path());
    for (int kind : {0, 1, 2}) {
      SCOPED_TRACE(::testing::Message() << "frame kind " << kind);
      const std::vector<int16_t> frame = test_frame(kind, 7);
      float *by_kernels = nullptr, *by_reference = nullptr, *pooled = nullptr;
      ASSERT_EQ(qx_orb_process(engines.kernels.orb, frame.data(), &by_kernels), QX_STATUS_SUCCESS);
      ASSERT_EQ(qx_orb_process(engines.reference.orb, frame.data(), &by_reference),
                QX_STATUS_SUCCESS);
      ASSERT_EQ(qx_orb_process(engines.pooled.orb, frame.data(), &pooled), QX_STATUS_SUCCESS);
      ASSERT_NE(by_kernels, nullptr);
      ASSERT_NE(by_reference, nullptr);
      ASSERT_NE(pooled, nullptr);
      for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(by_kernels[i], by_reference[i], kScoreTolerance) << "language " << i;
        EXPECT_EQ(bits_of(pooled[i]), bits_of(by_kernels[i])) << "language " << i;
      }
      qx_orb_scores_delete(by_kernels);
      qx_orb_scores_delete(by_reference);
      qx_orb_scores_delete(pooled);
    }
  }
}

}  // namespace
}  // namespace qx
