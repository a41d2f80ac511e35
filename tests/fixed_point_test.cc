// The fixed-point vocabulary: exact values at the ends, the table seams and
// the rounding boundaries, and closeness to the real functions over every
// int16 input.
#include "runtime/fixed_point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace qx {
namespace {

struct IntCase {
  int64_t input;
  int64_t expected;
};

TEST(Sat16, ClampsToInt16Range) {
  const IntCase cases[] = {{0, 0},         {32767, 32767},   {32768, 32767},
                           {-32768, -32768}, {-32769, -32768}, {INT32_MAX, 32767},
                           {INT32_MIN, -32768}, {-5, -5}};
  for (const IntCase &c : cases) {
    EXPECT_EQ(sat16(static_cast<int32_t>(c.input)), c.expected) << c.input;
  }
}

TEST(SigmoidQ15, EndValuesSeamsAndInterpolation) {
  const IntCase cases[] = {
      {0, 16384},       // entry 0
      {8128, 32755},    // last positive sample, entry 127
      {8129, 32755},    // beyond the range: clamped
      {32767, 32755},
      {-8192, 11},      // entry 128
      {-8193, 11},
      {-32768, 11},
      {64, 16895},      // entry 1, no interpolation
      {32, 16639},      // halfway between entries 0 and 1: (16384 + 16895) / 2 truncated
      {-64, 15872},     // entry 255
      {-1, 16376},      // (15872 * 1 + 63 * 16384) >> 6: between entries 255 and 256
      {8127, 32755},    // between entries 126 and 127
  };
  for (const IntCase &c : cases) {
    EXPECT_EQ(sigmoid_q15(static_cast<int16_t>(c.input)), c.expected) << c.input;
  }
}

TEST(TanhQ15, EndValuesAndOddness) {
  const IntCase cases[] = {
      {0, 0},
      {4064, 2 * 32755 - 32768},   // 2x = 8128, the last sample
      {16383, 32742},              // 2x saturates to 32767, then the clamp
      {16384, 32742},
      {32767, 32742},
      {-4096, 2 * 11 - 32768},
      {-32768, -32746},
      {512, 2 * 23955 - 32768},    // 2x = 1024: entry 16
      {-1, 2 * 16368 - 32768},     // 2x = -2: (15872 * 2 + 62 * 16384) >> 6
  };
  for (const IntCase &c : cases) {
    EXPECT_EQ(tanh_q15(static_cast<int16_t>(c.input)), c.expected) << c.input;
  }
}

TEST(RoundQ31, RoundsHalfUpAndSaturates) {
  const int64_t kLargestBelowOverflow = INT64_C(0x3FFFFFFFBFFFFFFF);
  const IntCase cases[] = {
      {0, 0},
      {(INT64_C(1) << 30) - 1, 0},
      {INT64_C(1) << 30, 1},  // exactly half rounds up
      {-(INT64_C(1) << 30), 0},
      {-(INT64_C(1) << 30) - 1, -1},
      {INT64_C(3) << 30, 2},
      {kLargestBelowOverflow, INT32_MAX},
      {kLargestBelowOverflow + 1, INT32_MAX},
      {INT64_MAX, INT32_MAX},
      {(INT64_C(2147483647) * 2147483646), 2147483645},
      // The low end saturates too instead of wrapping.
      {-INT64_C(0x4000000040000000), INT32_MIN},
      {-INT64_C(0x4000000040000000) - 1, INT32_MIN},
      {INT64_MIN, INT32_MIN},
  };
  for (const IntCase &c : cases) EXPECT_EQ(round_q31(c.input), c.expected) << c.input;
}

TEST(ExpQ31, TableProductsAndClampedInputs) {
  const IntCase cases[] = {
      {0, 2147483646},  // (2^31 - 1)^2 rounded: one below 2^31 - 1
      {16383, 242},     // e^-16
      {16384, 242},     // beyond the tables: the value at 16383
      {65535, 242},
      {-1, 2147483646},  // negative: the value at 0
      {INT32_MIN, 2147483646},
      {1024, round_q31(static_cast<int64_t>(QX_EXP_LSB_TABLE[0]) * QX_EXP_MSB_TABLE[8])},
      {1024 + 5, round_q31(static_cast<int64_t>(QX_EXP_LSB_TABLE[5]) * QX_EXP_MSB_TABLE[8])},
  };
  for (const IntCase &c : cases) {
    EXPECT_EQ(exp_q31(static_cast<int32_t>(c.input)), c.expected) << c.input;
  }
}

// Largest deviation from the real function, in output units, over a range.
template <typename Fixed, typename Real>
double max_error(int32_t first, int32_t last, Fixed fixed, Real real) {
  double worst = 0.0;
  for (int32_t x = first; x <= last; ++x) worst = std::fmax(worst, std::fabs(fixed(x) - real(x)));
  return worst;
}

double sigmoid(double z) { return 1.0 / (1.0 + std::exp(-z)); }

TEST(ActivationAccuracy, SigmoidQ15) {
  auto fixed = [](int32_t x) { return sigmoid_q15(static_cast<int16_t>(x)) / 32768.0; };
  auto real = [](int32_t x) { return sigmoid(x / 1024.0); };
  // Interpolation between samples 1/16 apart plus truncation: 3.5 Q15 steps.
  EXPECT_LE(max_error(-8192, 8128, fixed, real), 3.5 / 32768);
  // Outside [-8, 8) the value is held: sigmoid(32) is 13 steps from 32755.
  EXPECT_LE(max_error(-32768, 32767, fixed, real), 13.0 / 32768);
}

TEST(ActivationAccuracy, TanhQ15) {
  auto fixed = [](int32_t x) { return tanh_q15(static_cast<int16_t>(x)) / 32768.0; };
  auto real = [](int32_t x) { return std::tanh(x / 1024.0); };
  EXPECT_LE(max_error(-4096, 4064, fixed, real), 7.0 / 32768);
  EXPECT_LE(max_error(-32768, 32767, fixed, real), 26.0 / 32768);
}

TEST(ActivationAccuracy, ExpQ31) {
  auto fixed = [](int32_t h) { return static_cast<double>(exp_q31(h)); };
  auto real = [](int32_t h) { return 2147483648.0 * std::exp(-h / 1024.0); };
  // Two rounded table entries and one rounded product: within 3 Q31 units.
  EXPECT_LE(max_error(0, 16383, fixed, real), 3.0);
}

TEST(ActivationShape, SigmoidIsMonotonicAndSymmetric) {
  int32_t previous = sigmoid_q15(-32768);
  for (int32_t x = -32767; x <= 32767; ++x) {
    const int32_t value = sigmoid_q15(static_cast<int16_t>(x));
    ASSERT_GE(value, previous) << x;
    previous = value;
  }
  // sigmoid(-z) = 1 - sigmoid(z) up to the table's rounding and truncation.
  for (int32_t x = 0; x <= 8128; ++x) {
    const int32_t sum = sigmoid_q15(static_cast<int16_t>(x)) + sigmoid_q15(static_cast<int16_t>(-x));
    ASSERT_NEAR(sum, 32767, 3) << x;
  }
}

}  // namespace
}  // namespace qx
