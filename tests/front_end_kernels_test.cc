// Every front-end kernel set this processor runs against the portable set,
// bit for bit: each loop on its own over inputs that probe its edges, then
// both front ends whole. On a processor with the portable set alone the
// comparisons are trivially equal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "devices/device_selection.h"
#include "front_end_reference.h"
#include "frontend/front_end_kernels.h"
#include "frontend/log_mel.h"
#include "frontend/mel_lanes.h"
#include "frontend/real_fft.h"
#include "frontend/vad_front_end.h"
#include "runtime/device_context.h"
#include "test_support.h"

namespace qx {
namespace {

constexpr float kGuard = -12345.0f;  // fills what a kernel must not write

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<float> uniform(uint32_t seed, size_t count, float low, float high) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(low, high);
  std::vector<float> out(count);
  for (float &v : out) v = value(generator);
  return out;
}

std::vector<int16_t> random_pcm(uint32_t seed, size_t count) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> value(-32768, 32767);
  std::vector<int16_t> out(count);
  for (int16_t &v : out) v = static_cast<int16_t>(value(generator));
  return out;
}

class FrontEndKernelsTest : public testing::TestWithParam<const FrontEndKernels *> {
 protected:
  const FrontEndKernels &portable() const { return *usable_front_end_kernels().sets[0]; }
  const FrontEndKernels &tested() const { return *GetParam(); }
};

TEST_P(FrontEndKernelsTest, TransformGivesThePortableBits) {
  std::vector<std::vector<float>> inputs = {
      uniform(1, kFftInputFloats, -1.0f, 1.0f), uniform(2, kFftInputFloats, -65536.0f, 65536.0f),
      uniform(3, kFftInputFloats, -1e-40f, 1e-40f),  // subnormal samples
      std::vector<float>(kFftInputFloats, -0.0f),    // signed zeros through every sum
      std::vector<float>(kFftInputFloats, 1.0f)};
  std::vector<float> impulses(kFftInputFloats, 0.0f);
  impulses[0] = -0.0f;
  impulses[1] = 3.0f;
  impulses[511] = -7.0f;
  inputs.push_back(impulses);
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::vector<float> expected(kFftOutputFloats), got(kFftOutputFloats);
    std::vector<float> work(kFftWorkFloats);
    portable().real_fft(inputs[i].data(), expected.data(), work.data());
    tested().real_fft(inputs[i].data(), got.data(), work.data());
    EXPECT_TRUE(same_bits(expected, got)) << "input " << i;
  }
}

TEST_P(FrontEndKernelsTest, BinPowersGiveThePortableBits) {
  for (const float amplitude : {1e-20f, 1.0f, 1e15f}) {
    const std::vector<float> spectrum = uniform(4, kFftOutputFloats, -amplitude, amplitude);
    std::vector<float> expected(kFftBinCount), got(kFftBinCount);
    portable().bin_powers(spectrum.data(), expected.data());
    tested().bin_powers(spectrum.data(), got.data());
    EXPECT_TRUE(same_bits(expected, got)) << "amplitude " << amplitude;
  }
}

// Every band count, with powers that are zero, tiny, ordinary and large.
TEST_P(FrontEndKernelsTest, MelEnergiesGiveThePortableBitsForEveryBandCount) {
  std::vector<std::vector<float>> powers = {
      std::vector<float>(kFftBinCount, 0.0f), uniform(5, kFftBinCount, 0.0f, 1e-38f),
      uniform(6, kFftBinCount, 0.0f, 1.0f), uniform(7, kFftBinCount, 0.0f, 1e30f)};
  for (size_t p = 0; p < powers.size(); ++p) {
    for (int32_t bands = 1; bands <= kMelBandCount; ++bands) {
      std::vector<float> expected(kMelBandCount, kGuard), got(kMelBandCount, kGuard);
      portable().mel_energies(powers[p].data(), expected.data(), bands);
      tested().mel_energies(powers[p].data(), got.data(), bands);
      expected.resize(bands);
      got.resize(bands);
      EXPECT_TRUE(same_bits(expected, got)) << "powers " << p << ", bands " << bands;
    }
  }
}

// The lanes read whole groups of eight bins past each band's lowest edge.
TEST(MelLaneTable, ReadsStayWithinTheSpectrumAndCoverEveryBand) {
  const MelLaneTable &table = mel_lane_table();
  for (int g = 0; g < kMelLaneGroups; ++g) {
    const MelLaneGroup &group = table.groups[g];
    EXPECT_EQ(group.steps % kMelLanes, 0) << g;
    EXPECT_LE(group.first_step + group.steps, kMelLaneStepCapacity) << g;
    for (int b = 0; b < kMelLanes; ++b) {
      const int band = kMelLanes * g + b;
      EXPECT_LE(group.first_bin[b] + group.steps, kFftBinCount) << band;
      EXPECT_GE(group.first_bin[b] + group.steps, QX_MEL_BAND_EDGES[band + 2]) << band;
    }
  }
}

// Energies at every change of course of the fixed-point logarithm (scaled
// by 2^33: below 1, the octaves that truncate, round or are halved, 2^63
// and up) and their neighbours; lengths around one and two vectors.
TEST_P(FrontEndKernelsTest, FixedLog10GivesTheScalarValuesForAnyLength) {
  using limits = std::numeric_limits<float>;
  std::vector<float> energies = {0.0f, limits::denorm_min(), limits::infinity(), limits::max()};
  for (const int octave : {-1, 0, 9, 10, 22, 23, 29, 30, 62, 63}) {
    const float e = std::ldexp(1.0f, octave - 33);
    energies.insert(energies.end(), {std::nextafter(e, 0.0f), e, std::nextafter(e, 2 * e),
                                     e * 1.9999999f, e * 1.5f, e * 1.0004883f});
  }
  const std::vector<float> spread = uniform(17, 64, 0.0f, 1e6f);
  energies.insert(energies.end(), spread.begin(), spread.end());
  for (const int32_t n : {0, 1, 7, 8, 9, 15, 16, 17, 40, static_cast<int32_t>(energies.size())}) {
    std::vector<int16_t> got(energies.size() + 1, 12345);
    tested().fixed_log10_q10(energies.data(), got.data(), n);
    for (int32_t i = 0; i < n; ++i) {
      EXPECT_EQ(got[i], fixed_log10_q10(energies[i])) << "n " << n << ", energy " << energies[i];
    }
    EXPECT_EQ(got[n], 12345) << "n " << n;
  }
}

// Values whose logarithm is exact, lies on either side of a reduction
// boundary, or has no vector path; lengths around the vector width.
TEST_P(FrontEndKernelsTest, Log10GivesTheScalarBitsForAnyValueAndLength) {
  using limits = std::numeric_limits<float>;
  const float sqrt2 = std::sqrt(2.0f);
  std::vector<float> values = {
      1.0f, 10.0f, 1e10f, 0.1f, 1e-6f, std::nextafter(1.0f, 0.0f), std::nextafter(1.0f, 2.0f),
      std::nextafter(sqrt2, 0.0f), sqrt2, std::nextafter(sqrt2, 2.0f), limits::min(),
      limits::max(),
      // No vector path for these.
      limits::denorm_min(), limits::infinity(), limits::quiet_NaN(), 0.0f, -0.0f, -1.0f};
  const std::vector<float> spread = uniform(8, 100, 0.0f, 1e4f);
  values.insert(values.end(), spread.begin(), spread.end());
  for (const int32_t n : {0, 1, 7, 8, 9, 16, 40, static_cast<int32_t>(values.size())}) {
    std::vector<float> got(values.size() + 1, kGuard);
    tested().log10(values.data(), got.data(), n);
    for (int32_t i = 0; i < n; ++i) {
      const float expected = qx_test::log10_by_double(values[i]);
      EXPECT_TRUE(std::memcmp(&expected, &got[i], sizeof(float)) == 0 ||
                  (std::isnan(expected) && std::isnan(got[i])))
          << "n " << n << ": log10(" << values[i] << ") = " << got[i] << ", not " << expected;
    }
    EXPECT_EQ(got[n], kGuard) << "n " << n;
  }
}

// Windows that reach back before the first sample, start on it, and lie
// wholly inside the frame, up to its end; the extreme sample values.
TEST_P(FrontEndKernelsTest, LogMelFramesGiveThePortableBits) {
  std::vector<int16_t> pcm = random_pcm(9, kFrameSamples);
  pcm[0] = -32768;
  pcm[600] = 32767;
  pcm[601] = -32768;
  const std::vector<float> window = uniform(10, kFftInputFloats, 0.0f, 1.0f);
  for (const int32_t end : {1, 256, 511, 512, 513, 700, 1111, kFrameSamples}) {
    std::vector<float> expected(kFftInputFloats), got(kFftInputFloats);
    portable().log_mel_frame(pcm.data(), end, window.data(), expected.data());
    tested().log_mel_frame(pcm.data(), end, window.data(), got.data());
    EXPECT_TRUE(same_bits(expected, got)) << "end " << end;
  }
}

TEST_P(FrontEndKernelsTest, DetectorFramesGiveThePortableBitsAndHistory) {
  for (const int16_t previous : {int16_t{0}, int16_t{-32768}, int16_t{32767}}) {
    const std::vector<int16_t> samples = random_pcm(11 + previous, kVadHop);
    std::vector<float> history_expected = uniform(12, kVadHop, -60000.0f, 60000.0f);
    std::vector<float> history_got = history_expected;
    std::vector<float> expected(2 * kVadHop), got(2 * kVadHop);
    portable().vad_frame(samples.data(), previous, history_expected.data(), expected.data());
    tested().vad_frame(samples.data(), previous, history_got.data(), got.data());
    EXPECT_TRUE(same_bits(expected, got)) << "previous sample " << previous;
    EXPECT_TRUE(same_bits(history_expected, history_got)) << "previous sample " << previous;
  }
}

// Whole front ends under each set: the log-mel rows for several hops and
// band counts, and the detector's values over a frame of 128 hops.
TEST_P(FrontEndKernelsTest, FrontEndsGiveThePortableBits) {
  DeviceContext *context = nullptr;
  ASSERT_EQ(open_device("cpu:1", "cpu:1", &context), QX_STATUS_SUCCESS);
  const std::vector<int16_t> pcm = qx_test::speech_like_frame(13);
  const std::vector<float> window = uniform(14, kFftInputFloats, 0.0f, 1.0f);
  const std::vector<float> mean = uniform(15, kMelBandCount, -5.0f, 0.0f);
  const std::vector<float> deviation = uniform(16, kMelBandCount, 0.5f, 2.0f);

  const auto features = [&](const FrontEndKernels &kernels, const LogMelSettings &settings) {
    front_end_testing::use_kernels(&kernels);
    TensorBuffer *tensor = nullptr;
    EXPECT_EQ(
        extract_log_mel_features(context, &settings, pcm.data(), settings.num_mel_bands, &tensor),
        QX_STATUS_SUCCESS);
    const int32_t count = kFrameSamples / settings.hop_length * settings.num_mel_bands;
    const auto *rows = static_cast<const float *>(map(context, tensor, kMapRead));
    std::vector<float> copy(rows, rows + count);
    unmap(context, tensor, 0);
    recycle_buffer(context, tensor);
    return copy;
  };
  const struct {
    int32_t hop, bands;
    float log_floor;
  } cases[] = {{256, 40, 1e-6f}, {300, 40, 1e-6f}, {512, 23, 1e-10f}, {160, 1, 0.0f}};
  for (const auto &c : cases) {
    const LogMelSettings settings{c.hop,       c.bands,          c.log_floor,
                                  mean.data(), deviation.data(), window.data()};
    EXPECT_TRUE(same_bits(features(portable(), settings), features(tested(), settings)))
        << "hop " << c.hop << ", bands " << c.bands;
  }

  const auto detector_values = [&](const FrontEndKernels &kernels) {
    front_end_testing::use_kernels(&kernels);
    VadHistory history{kVadHop, {}};
    VadFrontEnd front_end{kVadHop, 0, &history};
    std::vector<int16_t> values(kFrameSamples / kVadHop * kVadBands);
    for (int32_t hop = 0; hop < kFrameSamples / kVadHop; ++hop) {
      EXPECT_EQ(
          vad_front_end(&front_end, pcm.data() + hop * kVadHop, values.data() + hop * kVadBands),
          QX_STATUS_SUCCESS);
    }
    return values;
  };
  EXPECT_EQ(detector_values(portable()), detector_values(tested()));
  front_end_testing::use_kernels(nullptr);
  release_device_context(context);
}

std::vector<const FrontEndKernels *> usable_sets() {
  const FrontEndKernelChoice choice = usable_front_end_kernels();
  return std::vector<const FrontEndKernels *>(choice.sets, choice.sets + choice.count);
}

INSTANTIATE_TEST_SUITE_P(UsableSets, FrontEndKernelsTest, testing::ValuesIn(usable_sets()),
                         [](const testing::TestParamInfo<const FrontEndKernels *> &info) {
                           return std::string(info.param->name);
                         });

}  // namespace
}  // namespace qx
