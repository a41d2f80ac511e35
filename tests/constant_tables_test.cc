// The generated constant tables: the values quoted for them, and every entry
// recomputed from its rule in double precision, independently of the
// generator's decimal arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>

#include "frontend/fft_tables.h"
#include "frontend/mel_tables.h"
#include "frontend/vad_tables.h"
#include "runtime/fixed_point_tables.h"

namespace qx {
namespace {

const double kPi = std::acos(-1.0);

// "Rounded to 7 decimal places, then to float32".
float round7_f32(double value) { return static_cast<float>(std::nearbyint(value * 1e7) / 1e7); }

template <typename T, size_t N>
int32_t entry(const T (&table)[N], int index) {
  return static_cast<int32_t>(table[index]);
}

TEST(ConstantTables, QuotedIntegerEntries) {
  struct Case {
    const char *table;
    int index;
    int32_t actual;
    int32_t expected;
  };
  const Case cases[] = {
      {"sigmoid", 0, entry(QX_SIGMOID_TABLE, 0), 16384},
      {"sigmoid", 1, entry(QX_SIGMOID_TABLE, 1), 16895},
      {"sigmoid", 127, entry(QX_SIGMOID_TABLE, 127), 32755},
      {"sigmoid", 128, entry(QX_SIGMOID_TABLE, 128), 11},
      {"sigmoid", 255, entry(QX_SIGMOID_TABLE, 255), 15872},
      {"sigmoid", 256, entry(QX_SIGMOID_TABLE, 256), 16384},
      {"exp lsb", 0, entry(QX_EXP_LSB_TABLE, 0), 2147483647},
      {"exp lsb", 127, entry(QX_EXP_LSB_TABLE, 127), 1896999301},
      {"exp msb", 0, entry(QX_EXP_MSB_TABLE, 0), 2147483647},
      {"exp msb", 127, entry(QX_EXP_MSB_TABLE, 127), 274},
      {"log10 q10", 0, entry(QX_LOG10_Q10_TABLE, 0), -617},
      {"log10 q10", 256, entry(QX_LOG10_Q10_TABLE, 256), -436},
      {"log10 q10", 512, entry(QX_LOG10_Q10_TABLE, 512), -308},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.actual, c.expected) << c.table << " entry " << c.index;
  }
}

TEST(ConstantTables, QuotedFloatEntries) {
  struct Case {
    const char *table;
    int index;
    float actual;
    float expected;
  };
  const Case cases[] = {
      {"sine", 0, QX_FFT_SINE_TABLE[0], 0.0f},
      {"sine", 1, QX_FFT_SINE_TABLE[1], 0.0122715f},
      {"sine", 128, QX_FFT_SINE_TABLE[128], 1.0f},
      {"sine", 256, QX_FFT_SINE_TABLE[256], 0.0f},
      {"sine", 383, QX_FFT_SINE_TABLE[383], -0.9999247f},
      {"window", 0, QX_VAD_WINDOW_TABLE[0], 0.0f},
      {"window", 1, QX_VAD_WINDOW_TABLE[1], 0.0000378f},
      {"window", 255, QX_VAD_WINDOW_TABLE[255], 0.9999906f},
      {"rise", 0, QX_MEL_RISE_SLOPES[0], 1.0f},
      {"rise", 8, QX_MEL_RISE_SLOPES[8], 0.3333333f},
      {"rise", 39, QX_MEL_RISE_SLOPES[39], 0.0666667f},
      {"fall", 39, QX_MEL_FALL_SLOPES[39], 0.0588235f},
  };
  for (const Case &c : cases) {
    // Bit equality: entry 1 of the sine table must be 0.0122715f, not the
    // float32 nearest to sin(2*pi/512), and the zeros must be +0.
    EXPECT_EQ(std::memcmp(&c.actual, &c.expected, sizeof(float)), 0)
        << c.table << " entry " << c.index << ": " << c.actual << " != " << c.expected;
  }
  EXPECT_NE(QX_FFT_SINE_TABLE[1], static_cast<float>(std::sin(2 * kPi / 512)));
}

TEST(ConstantTables, SigmoidAndExpFollowTheirRules) {
  for (int k = 0; k < 256; ++k) {
    const int s = k < 128 ? k : k - 256;
    const double value = 32767.0 / (1.0 + std::exp(-s / 16.0));
    // Entry 0 is the exact tie 16383.5, rounded up.
    EXPECT_EQ(QX_SIGMOID_TABLE[k], static_cast<int16_t>(std::floor(value + 0.5))) << k;
  }
  for (int k = 0; k < 128; ++k) {
    EXPECT_EQ(QX_EXP_LSB_TABLE[k], std::lround(2147483647.0 * std::exp(-k / 1024.0))) << k;
    EXPECT_EQ(QX_EXP_MSB_TABLE[k], std::lround(2147483647.0 * std::exp(-k / 8.0))) << k;
  }
}

TEST(ConstantTables, SineTableFollowsItsRule) {
  for (int k = 0; k < 384; ++k) {
    EXPECT_EQ(QX_FFT_SINE_TABLE[k], round7_f32(std::sin(2 * kPi * k / 512))) << k;
  }
  // Entry k + 128 doubles as the cosine of angle k.
  for (int k = 0; k < 256; ++k) {
    EXPECT_NEAR(QX_FFT_SINE_TABLE[k + 128], std::cos(2 * kPi * k / 512), 1e-7) << k;
  }
}

TEST(ConstantTables, BitReverseTable) {
  const int16_t prefix[] = {0, 256, 128, 384, 64, 320, 192, 448, 32, 288};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(QX_FFT_BIT_REVERSE_TABLE[i], prefix[i]) << i;
  std::set<int> slots;
  for (int i = 0; i < 256; ++i) {
    const int slot = QX_FFT_BIT_REVERSE_TABLE[i];
    ASSERT_EQ(slot % 2, 0) << i;
    ASSERT_GE(slot, 0);
    ASSERT_LT(slot, 512);
    slots.insert(slot);
    // Reversal is its own inverse.
    EXPECT_EQ(QX_FFT_BIT_REVERSE_TABLE[slot / 2], 2 * i) << i;
  }
  EXPECT_EQ(slots.size(), 256u);
}

TEST(ConstantTables, MelBandEdges) {
  const int16_t expected[kMelBandCount + 2] = {
      0,  1,  3,  5,  6,  8,   10,  12,  14,  17,  19,  22,  25,  28,  31,  34,  38,  41,  45,  50,  54,
      59, 64, 70, 76, 82, 89, 96, 103, 111, 120, 129, 138, 148, 159, 171, 183, 196, 210, 225, 240, 257};
  for (int i = 0; i < kMelBandCount + 2; ++i) {
    EXPECT_EQ(QX_MEL_BAND_EDGES[i], expected[i]) << i;
  }
  // The same edges from the HTK mel scale in double precision.
  const double mel_top = 2595.0 * std::log10(1.0 + 8000.0 / 700.0);
  for (int i = 0; i < kMelBandCount + 2; ++i) {
    const double hz = 700.0 * (std::pow(10.0, i * mel_top / 41.0 / 2595.0) - 1.0);
    EXPECT_EQ(QX_MEL_BAND_EDGES[i], std::lround(257.0 * hz / 8000.0)) << i;
  }
}

TEST(ConstantTables, MelSlopesFollowTheEdges) {
  for (int b = 0; b < kMelBandCount; ++b) {
    const int rise = QX_MEL_BAND_EDGES[b + 1] - QX_MEL_BAND_EDGES[b];
    const int fall = QX_MEL_BAND_EDGES[b + 2] - QX_MEL_BAND_EDGES[b + 1];
    ASSERT_GT(rise, 0) << b;
    ASSERT_GT(fall, 0) << b;
    EXPECT_EQ(QX_MEL_RISE_SLOPES[b], round7_f32(1.0 / rise)) << b;
    EXPECT_EQ(QX_MEL_FALL_SLOPES[b], round7_f32(1.0 / fall)) << b;
  }
}

TEST(ConstantTables, VadWindowFollowsItsRule) {
  for (int n = 0; n < 256; ++n) {
    EXPECT_EQ(QX_VAD_WINDOW_TABLE[n], round7_f32(0.5 - 0.5 * std::cos(2 * kPi * n / 511))) << n;
  }
}

TEST(ConstantTables, Log10Q10FollowsItsRule) {
  for (int j = 0; j <= 512; ++j) {
    const double value = 1024.0 * std::log10((512.0 + j) / 2048.0);
    EXPECT_EQ(QX_LOG10_Q10_TABLE[j], static_cast<int16_t>(std::floor(value + 0.5))) << j;
  }
}

}  // namespace
}  // namespace qx
