#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "devices/device_selection.h"
#include "frontend/vad_front_end.h"
#include "frontend/vad_network.h"
#include "frontend/voice_detector.h"
#include "front_end_reference.h"
#include "runtime/device_context.h"
#include "runtime/operation_table.h"
#include "test_support.h"

using namespace qx;
using qx_test::collect_messages;

namespace {

TEST(FixedLog10, FollowsTheTableAndOctaveSteps) {
  const struct {
    float energy;
    int16_t expected;
  } cases[] = {
      {0.0f, -32768},
      {std::ldexp(1.0f, 29), -309},    // 2^29: one halving, j = 0
      {1.0f, -9241},                   // 28 octaves below 2^30 ... -617 - 8624
      {std::ldexp(1.0f, 30), 0},       // 2^30 and above: the largest value
      {std::ldexp(1.0f, 40), 0},
      {std::ldexp(1.0f, -33), -19405},  // smallest energy that scales to 1
      {std::ldexp(1.0f, -34), -32768},  // scales to 0
  };
  for (const auto &c : cases) {
    EXPECT_EQ(fixed_log10_q10(c.energy), c.expected) << c.energy;
  }
}

TEST(FixedLog10, StaysWithinATenthOfADecibelOfTheRealLogarithm) {
  // 308 per octave instead of 308.25 drifts by at most 0.25 * 33 octaves;
  // 12 units of 1024 per decade are 0.12 dB.
  // From 1e-3 up, where truncating the scaled energy loses nothing visible.
  for (float energy = 1e-3f; energy < 1e9f; energy *= 1.37f) {
    const double exact = 1024.0 * std::log10(energy / std::ldexp(1.0, 30));
    EXPECT_NEAR(fixed_log10_q10(energy), exact, 12.0) << energy;
  }
}

// Every seventh float (all residues of the low bits) of the octaves where
// normalisation changes course - the scaled energy 2^33 * E is truncated,
// rounds its table index from a bit it has or lacks, is halved or not, or
// lies just below 2^63 - against the doubling definition. tests/long checks
// every float.
TEST(FixedLog10, MatchesTheDoublingDefinitionAcrossTheOctavesThatDiffer) {
  const struct {
    int scaled_exponent;  // of 2^33 * E
    const char *why;
  } octaves[] = {
      {0, "truncates to 1"},
      {9, "last octave whose index bits are all present, unrounded"},
      {10, "first octave that rounds its index"},
      {22, "last octave that drops a fraction"},
      {29, "largest octave not halved"},
      {30, "first halved octave"},
      {62, "top octave below 2^63"},
  };
  for (const auto &octave : octaves) {
    const uint32_t exponent_bits = static_cast<uint32_t>(octave.scaled_exponent - 33 + 127) << 23;
    int mismatches = 0;
    for (uint32_t mantissa = 0; mantissa < (1u << 23); mantissa += 7) {
      const float energy = qx_test::float_from_bits(exponent_bits | mantissa);
      mismatches += fixed_log10_q10(energy) != qx_test::fixed_log10_q10_by_doubling(energy);
    }
    EXPECT_EQ(mismatches, 0) << "2^" << octave.scaled_exponent << ": " << octave.why;
  }
}

TEST(VadFrontEnd, SilenceGivesTheSmallestValueAndHistoryCarries) {
  VadHistory history{kVadHop, {}};
  VadFrontEnd front_end{kVadHop, 0, &history};
  std::vector<int16_t> zeros(kVadHop, 0);
  int16_t out[kVadBands];
  ASSERT_EQ(vad_front_end(&front_end, zeros.data(), out), QX_STATUS_SUCCESS);
  for (int16_t value : out) EXPECT_EQ(value, -32768);

  // A loud chunk, then silence: the second call still sees the loud half
  // through its history.
  std::vector<int16_t> tone(kVadHop);
  for (int i = 0; i < kVadHop; ++i) tone[i] = static_cast<int16_t>(8000 * std::sin(0.3 * i));
  ASSERT_EQ(vad_front_end(&front_end, tone.data(), out), QX_STATUS_SUCCESS);
  EXPECT_EQ(front_end.previous_sample, tone.back());
  ASSERT_EQ(vad_front_end(&front_end, zeros.data(), out), QX_STATUS_SUCCESS);
  EXPECT_GT(*std::max_element(out, out + kVadBands), -20000);
}

TEST(VadProgram, TensorsAndProgramHaveTheirFixedShapes) {
  EXPECT_EQ(QX_VAD_PROGRAM[0], 9);
  EXPECT_EQ(QX_VAD_PROGRAM[kVadStepBegin], 13);
  EXPECT_EQ(QX_VAD_PROGRAM[103], 12);
  EXPECT_EQ(QX_VAD_PROGRAM[kVadProgramWords - 1], 0);
  const int32_t sizes[kVadTensorCount] = {8,     160,   480, 4,     160,   160, 160,
                                          160,   80,    80,  19200, 240,   19200, 240,
                                          19200, 240,   19200, 240, 160,   2};
  for (int i = 0; i < kVadTensorCount; ++i) {
    EXPECT_EQ(QX_VAD_PARAMETERS[i].size, sizes[i]) << i;
    EXPECT_EQ(QX_VAD_PARAMETERS[i].flags & kTensorStatic, i >= 8 ? 1 : 0) << i;
    EXPECT_EQ(QX_VAD_PARAMETERS[i].data != nullptr, i >= 8) << i;
  }
}

class VoiceDetectorTest : public testing::Test {
 protected:
  void SetUp() override {
    live_before_ = qx_test::settled_live_blocks();
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context_), QX_STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);
  }
  float probability(VoiceDetector *detector, const std::vector<int16_t> &chunk) {
    float p = -1.0f;
    EXPECT_EQ(voice_detector_probability(detector, chunk.data(), &p), QX_STATUS_SUCCESS);
    return p;
  }
  DeviceContext *context_ = nullptr;
  long live_before_ = 0;
};

std::vector<int16_t> chirp(int samples, double amplitude, int phase) {
  std::vector<int16_t> out(samples);
  for (int i = 0; i < samples; ++i) {
    const double t = (i + phase) / 16000.0;
    out[i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * (200 + 1500 * t) * t) *
                                  (0.6 + 0.4 * std::sin(2 * M_PI * 4 * t)));
  }
  return out;
}

TEST_F(VoiceDetectorTest, UsesStaticWeightsInPlaceAndCarriesState) {
  VoiceDetector *detector = nullptr;
  ASSERT_EQ(voice_detector_create(context_, &detector), QX_STATUS_SUCCESS);
  const std::vector<int16_t> silence(kVoiceChunkSamples, 0);
  const std::vector<int16_t> loud = chirp(kVoiceChunkSamples, 12000, 0);

  const float quiet = probability(detector, silence);
  EXPECT_GE(quiet, 0.0f);
  EXPECT_LE(quiet, 1.0f);
  float first = 0, second = 0;
  for (int i = 0; i < 8; ++i) first = probability(detector, loud);
  second = probability(detector, loud);
  EXPECT_GT(first, quiet);
  // The same chunk again sees other history and recurrent state.
  EXPECT_NE(probability(detector, silence), quiet);
  (void)second;
  voice_detector_delete(detector);  // releases the context with it
}

TEST_F(VoiceDetectorTest, NullArgumentsAreNamed) {
  VoiceDetector *detector = nullptr;
  ASSERT_EQ(voice_detector_create(context_, &detector), QX_STATUS_SUCCESS);
  const std::vector<int16_t> silence(kVoiceChunkSamples, 0);
  float p = 0;
  const struct {
    VoiceDetector *detector;
    const int16_t *pcm;
    float *out;
    const char *name;
  } cases[] = {{nullptr, silence.data(), &p, "object"},
               {detector, nullptr, &p, "pcm"},
               {detector, silence.data(), nullptr, "is_voiced"}};
  for (const auto &c : cases) {
    EXPECT_EQ(voice_detector_probability(c.detector, c.pcm, c.out), QX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(collect_messages(), std::vector<std::string>{qx_test::line(
                                      100, std::string("Argument `") + c.name + "` is NULL.")});
  }
  voice_detector_delete(detector);
}

TEST_F(VoiceDetectorTest, EveryAllocationFailureReleasesTheContext) {
  qx_test::FaultInjectionOff restore;
  release_device_context(context_);
  for (long n = 0;; ++n) {
    SCOPED_TRACE(n);
    DeviceContext *context = nullptr;
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context), QX_STATUS_SUCCESS);
    error_stack_reset();
    allocator_testing::fail_after(n);
    VoiceDetector *detector = nullptr;
    const QxStatus status = voice_detector_create(context, &detector);
    allocator_testing::fail_after(-1);
    if (status == QX_STATUS_SUCCESS) {
      voice_detector_delete(detector);
      break;
    }
    EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
    EXPECT_FALSE(collect_messages().empty());
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_);  // context gone too
    ASSERT_LT(n, 50);
  }
  context_ = nullptr;
}

// The CPU's map and unmap, counted; map call number `g_failing_map` of a
// chunk returns null.
MapFn g_cpu_map = nullptr;
UnmapFn g_cpu_unmap = nullptr;
int g_maps = 0, g_unmaps = 0, g_failing_map = -1;
void *counted_map(void *backend, TensorBuffer *tensor, int32_t mode) {
  return g_maps++ == g_failing_map ? nullptr : g_cpu_map(backend, tensor, mode);
}
void counted_unmap(void *backend, TensorBuffer *tensor, int32_t written) {
  ++g_unmaps;
  g_cpu_unmap(backend, tensor, written);
}

TEST_F(VoiceDetectorTest, AFailedMappingFailsTheChunk) {
  VoiceDetector *detector = nullptr;
  ASSERT_EQ(voice_detector_create(context_, &detector), QX_STATUS_SUCCESS);
  const std::vector<int16_t> loud = chirp(kVoiceChunkSamples, 12000, 0);
  struct CountedMapping {
    CountedMapping() {
      OperationTable &table = operation_table();
      g_cpu_map = table.map[kDeviceCpu];
      g_cpu_unmap = table.unmap[kDeviceCpu];
      table.map[kDeviceCpu] = counted_map;
      table.unmap[kDeviceCpu] = counted_unmap;
    }
    ~CountedMapping() {
      operation_table().map[kDeviceCpu] = g_cpu_map;
      operation_table().unmap[kDeviceCpu] = g_cpu_unmap;
    }
  } counted;

  // A whole chunk first: how many mappings it makes, every one undone.
  g_maps = g_unmaps = 0;
  g_failing_map = -1;
  probability(detector, loud);
  const int maps_per_chunk = g_maps;
  EXPECT_EQ(g_unmaps, maps_per_chunk);
  ASSERT_GE(maps_per_chunk, 2);  // the rows first, the probabilities last

  const struct {
    const char *name;
    int failing;
  } cases[] = {{"front-end rows", 0}, {"probabilities", maps_per_chunk - 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    g_maps = g_unmaps = 0;
    g_failing_map = c.failing;
    float p = -1.0f;
    EXPECT_EQ(voice_detector_probability(detector, loud.data(), &p), QX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(p, -1.0f);
    EXPECT_EQ(g_maps, c.failing + 1) << "the chunk stops at the failed mapping";
    EXPECT_EQ(g_unmaps, c.failing) << "only mapped views are unmapped";
    EXPECT_EQ(collect_messages(), (std::vector<std::string>{qx_test::generic_line(300),
                                                            qx_test::line(310, "RUNTIME_ERROR")}));
  }

  // The detector carries on once the device maps again.
  g_failing_map = -1;
  const float p = probability(detector, loud);
  EXPECT_GE(p, 0.0f);
  EXPECT_LE(p, 1.0f);
  voice_detector_delete(detector);
}

}  // namespace
