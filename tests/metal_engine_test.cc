// Whole engines on the emulated "gpu" against the same engines on "cpu":
// the same voice decisions, the voice detector's probabilities bit for bit
// (an integer network), and the scores within the tolerance the CPU kernels
// are held to (the head's float operators run in another order there).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "frontend/log_mel.h"
#include "frontend/voice_detector.h"
#include "metal/emulated/metal_emulator.h"
#include "model_file.h"
#include "model_writer.h"
#include "qx_orb.h"
#include "runtime/device_context.h"
#include "test_support.h"

namespace qx {
namespace {

constexpr float kScoreTolerance = 1e-6f;

struct Engine {
  QxOrb *orb = nullptr;
  Engine(const char *model, const char *device, float threshold) {
    EXPECT_EQ(qx_orb_init(model, device, threshold, &orb), QX_STATUS_SUCCESS) << device;
  }
  ~Engine() { qx_orb_delete(orb); }
};

std::vector<int16_t> frame_of(int kind, uint32_t seed) {
  if (kind == 0) return qx_test::speech_like_frame(seed);
  std::vector<int16_t> frame(kFrameSamples, 0);
  uint32_t state = seed;
  for (int16_t &sample : frame) {
    state = state * 1664525u + 1013904223u;
    if (kind == 1) sample = static_cast<int16_t>(state >> 16);  // full-scale noise
  }
  return frame;  // kind 2: silence
}

class MetalEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { mtl::emulator::reset(); }
  void TearDown() override {
    EXPECT_EQ(mtl::emulator::take_violations(), std::vector<std::string>{});
  }
};

TEST_F(MetalEngineTest, GpuEngineRunsOnTheMetalDevice) {
  qx_test::ModelFile model(qx_tools::default_model(21));
  Engine gpu(model.path(), "gpu", 0.5f);
  ASSERT_NE(gpu.orb, nullptr);
  EXPECT_EQ(gpu.orb->device_context->device_type, static_cast<uint32_t>(kDeviceMetal));
}

TEST_F(MetalEngineTest, DecisionsAndScoresMatchTheCpu) {
  const qx_tools::ModelDescription models[] = {qx_tools::default_model(22),
                                               qx_tools::default_model(23)};
  for (const auto &description : models) {
    qx_test::ModelFile model(description);
    // A threshold the test frames fall on both sides of.
    for (float threshold : {0.0f, 0.5f}) {
      SCOPED_TRACE(threshold);
      Engine gpu(model.path(), "gpu", threshold), cpu(model.path(), "cpu:1", threshold);
      ASSERT_NE(gpu.orb, nullptr);
      ASSERT_NE(cpu.orb, nullptr);
      for (int kind : {0, 1, 2}) {
        for (uint32_t seed : {1u, 2u}) {
          SCOPED_TRACE(::testing::Message() << "frame kind " << kind << ", seed " << seed);
          const std::vector<int16_t> frame = frame_of(kind, seed);
          float *on_gpu = nullptr, *on_cpu = nullptr;
          ASSERT_EQ(qx_orb_process(gpu.orb, frame.data(), &on_gpu), QX_STATUS_SUCCESS);
          ASSERT_EQ(qx_orb_process(cpu.orb, frame.data(), &on_cpu), QX_STATUS_SUCCESS);
          ASSERT_EQ(on_gpu == nullptr, on_cpu == nullptr) << "voice decision";
          for (int i = 0; on_gpu && i < 9; ++i) {
            EXPECT_NEAR(on_gpu[i], on_cpu[i], kScoreTolerance) << "language " << i;
          }
          qx_orb_scores_delete(on_gpu);
          qx_orb_scores_delete(on_cpu);
        }
      }
    }
  }
}

TEST_F(MetalEngineTest, VoiceProbabilitiesAgreeBitForBit) {
  qx_test::ModelFile model(qx_tools::default_model(24));
  Engine gpu(model.path(), "gpu", 0.0f), cpu(model.path(), "cpu:1", 0.0f);
  const std::vector<int16_t> frame = frame_of(0, 3);
  for (int32_t chunk = 0; chunk < kVoiceChunksPerFrame; ++chunk) {
    SCOPED_TRACE(chunk);
    float on_gpu = -1, on_cpu = -2;
    const int16_t *pcm = frame.data() + chunk * kVoiceChunkSamples;
    ASSERT_EQ(voice_detector_probability(gpu.orb->voice_detector, pcm, &on_gpu),
              QX_STATUS_SUCCESS);
    ASSERT_EQ(voice_detector_probability(cpu.orb->voice_detector, pcm, &on_cpu),
              QX_STATUS_SUCCESS);
    uint32_t gpu_bits, cpu_bits;
    std::memcpy(&gpu_bits, &on_gpu, 4);
    std::memcpy(&cpu_bits, &on_cpu, 4);
    EXPECT_EQ(gpu_bits, cpu_bits);
  }
}

}  // namespace
}  // namespace qx
