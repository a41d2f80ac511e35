// End to end against golden values: two committed models and five frames of
// generated audio go through the public API, and the voice probabilities,
// gate decisions and scores are compared with tests/golden/golden_values.h,
// which tests/golden/rederive.py computes independently of the library.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devices/device_selection.h"
#include "frontend/voice_detector.h"
#include "golden/golden_values.h"
#include "qx_orb.h"

namespace {

constexpr int kFrameSamples = 32768;

// Scores go through log10 and exp, where the library's single-precision
// functions may differ from the script's correctly rounded ones by an ulp;
// everything else is the same float32 and integer arithmetic in the same order.
constexpr float kScoreTolerance = 1e-6f;

// The audio of rederive.py's golden_audio(), integers only: one 32-bit linear
// congruential generator runs over all frames, one step per sample.
std::vector<int16_t> golden_audio() {
  std::vector<int16_t> audio(golden::kFrames * kFrameSamples);
  uint32_t state = 0x2545F491u;
  for (size_t n = 0; n < audio.size(); ++n) {
    state = state * 1664525u + 1013904223u;
    const int32_t noise = static_cast<int32_t>(state >> 22) - 512;
    const int32_t frame = static_cast<int32_t>(n / kFrameSamples);
    const int32_t i = static_cast<int32_t>(n % kFrameSamples);
    int32_t x = 0;
    if (frame == 0) {  // 125 Hz sawtooth
      x = (i % 128) * 256 - 16384 + noise;
    } else if (frame == 1) {  // pulse train of period 91 samples, stepped loudness
      x = (i % 91 < 20 ? 750 : -163) * (8 + (i / 2048) % 8) + noise;
    } else if (frame == 3) {  // faint noise; frame 2 is silence
      x = static_cast<int32_t>(state >> 27) - 16;
    } else if (frame == 4) {  // full-scale 4 kHz square: band energies reach the log's top
      x = (i / 2) % 2 == 0 ? 32767 : -32768;
    }
    audio[n] = static_cast<int16_t>(x);
  }
  return audio;
}

const int16_t *frame_of(const std::vector<int16_t> &audio, int frame) {
  return audio.data() + static_cast<size_t>(frame) * kFrameSamples;
}

uint64_t fnv1a64(const std::vector<int16_t> &samples) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (int16_t sample : samples) {
    const uint16_t bits = static_cast<uint16_t>(sample);
    for (uint8_t byte : {static_cast<uint8_t>(bits & 0xFF), static_cast<uint8_t>(bits >> 8)}) {
      hash = (hash ^ byte) * 0x100000001B3ull;
    }
  }
  return hash;
}

std::string model_path(const char *file) { return std::string(QX_GOLDEN_DIR "/") + file; }

class Engine {
 public:
  Engine(const char *model, const char *device, float threshold) {
    status_ = qx_orb_init(model_path(model).c_str(), device, threshold, &orb_);
  }
  ~Engine() { qx_orb_delete(orb_); }
  QxStatus status() const { return status_; }

  // Scores of one frame, empty when the gate rejected it.
  std::vector<float> process(const int16_t *pcm) {
    float *scores = nullptr;
    EXPECT_EQ(qx_orb_process(orb_, pcm, &scores), QX_STATUS_SUCCESS);
    std::vector<float> result;
    if (scores) result.assign(scores, scores + QX_ORB_NUM_LANGUAGES);
    qx_orb_scores_delete(scores);
    return result;
  }

 private:
  QxOrb *orb_ = nullptr;
  QxStatus status_ = QX_STATUS_RUNTIME_ERROR;
};

TEST(GoldenAudio, MatchesTheScriptsGenerator) {
  EXPECT_EQ(fnv1a64(golden_audio()), golden::kAudioHash);
}

// The detector's Q31 outputs are integer results, so they must agree exactly.
TEST(GoldenVoiceDetector, ChunkProbabilitiesAreExact) {
  const std::vector<int16_t> audio = golden_audio();
  qx::DeviceContext *context = nullptr;
  ASSERT_EQ(qx::open_device("cpu:1", "cpu:1", &context), QX_STATUS_SUCCESS);
  qx::VoiceDetector *detector = nullptr;
  ASSERT_EQ(qx::voice_detector_create(context, &detector), QX_STATUS_SUCCESS);
  for (int frame = 0; frame < golden::kFrames; ++frame) {
    for (int chunk = 0; chunk < golden::kChunks; ++chunk) {
      SCOPED_TRACE("frame " + std::to_string(frame) + " chunk " + std::to_string(chunk));
      float probability = -1.0f;
      ASSERT_EQ(
          qx::voice_detector_probability(
              detector, frame_of(audio, frame) + chunk * qx::kVoiceChunkSamples, &probability),
          QX_STATUS_SUCCESS);
      EXPECT_EQ(probability, golden::kChunkProbability[frame][chunk]);
    }
  }
  qx::voice_detector_delete(detector);
}

TEST(GoldenGate, DecidesEachFrameAsExpected) {
  const std::vector<int16_t> audio = golden_audio();
  Engine engine("plain.qx", "cpu:1", golden::kGateThreshold);
  ASSERT_EQ(engine.status(), QX_STATUS_SUCCESS);
  for (int frame = 0; frame < golden::kFrames; ++frame) {
    SCOPED_TRACE(frame);
    EXPECT_EQ(!engine.process(frame_of(audio, frame)).empty(), golden::kVoiced[frame]);
  }
}

// The mean is not visible through the API, but the gate is mean >= threshold:
// a frame that passes at the expected mean and fails one ulp above it had
// exactly that mean.
TEST(GoldenGate, MeanProbabilityIsExact) {
  const std::vector<int16_t> audio = golden_audio();
  for (int frame = 0; frame < golden::kFrames; ++frame) {
    const float mean = golden::kMeanProbability[frame];
    for (const float threshold : {mean, std::nextafter(mean, 1.0f)}) {
      SCOPED_TRACE("frame " + std::to_string(frame) + " threshold " + std::to_string(threshold));
      Engine engine("plain.qx", "cpu:1", threshold);
      ASSERT_EQ(engine.status(), QX_STATUS_SUCCESS);
      // The detector's state carries over, so the frames before count too.
      for (int earlier = 0; earlier < frame; ++earlier) engine.process(frame_of(audio, earlier));
      EXPECT_EQ(!engine.process(frame_of(audio, frame)).empty(), threshold == mean);
    }
  }
}

struct ScoresCase {
  int model;  // index into golden::kModelScores
  const char *device;
};

class GoldenScores : public testing::TestWithParam<ScoresCase> {};

TEST_P(GoldenScores, MatchTheRederivation) {
  const golden::ModelScores &expected = golden::kModelScores[GetParam().model];
  const std::vector<int16_t> audio = golden_audio();
  Engine engine(expected.file, GetParam().device, 0.0f);
  ASSERT_EQ(engine.status(), QX_STATUS_SUCCESS);
  double largest_difference = 0.0;
  for (int frame = 0; frame < golden::kFrames; ++frame) {
    SCOPED_TRACE(frame);
    const std::vector<float> scores = engine.process(frame_of(audio, frame));
    ASSERT_EQ(scores.size(), static_cast<size_t>(QX_ORB_NUM_LANGUAGES));
    for (int language = 0; language < QX_ORB_NUM_LANGUAGES; ++language) {
      EXPECT_NEAR(scores[language], expected.scores[frame][language], kScoreTolerance)
          << "language " << language;
      largest_difference = std::fmax(
          largest_difference, std::fabs(static_cast<double>(scores[language]) -
                                        static_cast<double>(expected.scores[frame][language])));
    }
  }
  // How close each platform comes (--gtest_output=xml lists it).
  char text[32];
  std::snprintf(text, sizeof(text), "%.3g", largest_difference);
  RecordProperty("largest_difference", text);
}

INSTANTIATE_TEST_SUITE_P(ModelsAndDevices, GoldenScores,
                         testing::Values(ScoresCase{0, "cpu:1"}, ScoresCase{1, "cpu:1"},
                                         ScoresCase{0, "cpu:2"}, ScoresCase{1, "cpu:2"}),
                         [](const testing::TestParamInfo<ScoresCase> &info) {
                           std::string name = golden::kModelScores[info.param.model].file;
                           name = name.substr(0, name.find('.'));
                           return name + "_" + (info.param.device[4] == '1' ? "1" : "2") +
                                  "_threads";
                         });

}  // namespace
