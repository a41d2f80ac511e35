// The fixed-point vocabulary: exact values at the ends, table seams and
// rounding boundaries, and closeness to the real functions everywhere.
#include "runtime/fixed_point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace qx {
namespace {

TEST(FixedPoint, ExactValuesAtEndsSeamsAndRoundingBoundaries) {
  const int64_t kOverflowEdge = INT64_C(0x3FFFFFFFBFFFFFFF);
  const int64_t kUnderflowEdge = -INT64_C(0x4000000040000000);
  const struct {
    const char *what;
    int64_t value, expected;
  } cases[] = {
      {"sat16(32768)", sat16(32768), 32767},
      {"sat16(-32769)", sat16(-32769), -32768},
      {"sigmoid(0): entry 0", sigmoid_q15(0), 16384},
      {"sigmoid(8128): entry 127", sigmoid_q15(8128), 32755},
      {"sigmoid(32767): held", sigmoid_q15(32767), 32755},
      {"sigmoid(-8192): entry 128", sigmoid_q15(-8192), 11},
      {"sigmoid(-32768): held", sigmoid_q15(-32768), 11},
      {"sigmoid(32): halfway, truncated", sigmoid_q15(32), (16384 + 16895) / 2},
      {"sigmoid(-1): entries 255, 256", sigmoid_q15(-1), (15872 + 63 * 16384) >> 6},
      {"tanh(0)", tanh_q15(0), 0},
      {"tanh(16383): 2x saturates", tanh_q15(16383), 2 * 32755 - 32768},
      {"tanh(-32768)", tanh_q15(-32768), 2 * 11 - 32768},
      {"tanh(-1): sigmoid(-2)", tanh_q15(-1), 2 * ((15872 * 2 + 62 * 16384) >> 6) - 32768},
      {"round(2^30 - 1)", round_q31((INT64_C(1) << 30) - 1), 0},
      {"round(2^30): half up", round_q31(INT64_C(1) << 30), 1},
      {"round(-2^30 - 1)", round_q31(-(INT64_C(1) << 30) - 1), -1},
      {"round at the overflow edge", round_q31(kOverflowEdge), INT32_MAX},
      {"round past the overflow edge", round_q31(kOverflowEdge + 1), INT32_MAX},
      {"round at the underflow edge", round_q31(kUnderflowEdge), INT32_MIN},
      {"round past the underflow edge", round_q31(kUnderflowEdge - 1), INT32_MIN},
      {"exp(0): (2^31 - 1)^2 rounded", exp_q31(0), 2147483646},
      {"exp(16383)", exp_q31(16383), 242},
      {"exp(65535): held", exp_q31(65535), 242},
      {"exp(-1): held", exp_q31(-1), 2147483646},
  };
  for (const auto &c : cases) EXPECT_EQ(c.value, c.expected) << c.what;
}

// Largest deviation from the real function over every input in a range.
TEST(FixedPoint, ActivationsStayCloseToTheRealFunctions) {
  const auto sigmoid = [](int32_t x) { return sigmoid_q15(static_cast<int16_t>(x)) / 32768.0; };
  const auto tanh = [](int32_t x) { return tanh_q15(static_cast<int16_t>(x)) / 32768.0; };
  const auto real_sigmoid = [](int32_t x) { return 1.0 / (1.0 + std::exp(-x / 1024.0)); };
  const auto real_tanh = [](int32_t x) { return std::tanh(x / 1024.0); };
  const struct {
    const char *what;
    std::function<double(int32_t)> fixed, real;
    int32_t first, last;
    double tolerance;
  } cases[] = {
      // Linear interpolation of samples 1/16 apart plus truncation.
      {"sigmoid inside [-8, 8)", sigmoid, real_sigmoid, -8192, 8128, 3.5 / 32768},
      // Held at 32755 beyond 8, 13 steps below sigmoid(32).
      {"sigmoid, all int16", sigmoid, real_sigmoid, -32768, 32767, 13.0 / 32768},
      {"tanh inside [-4, 4)", tanh, real_tanh, -4096, 4064, 7.0 / 32768},
      {"tanh, all int16", tanh, real_tanh, -32768, 32767, 26.0 / 32768},
      // Two rounded table entries and a rounded product: 3 units of 2^-31.
      {"exp, 0 ... 16383", [](int32_t h) { return static_cast<double>(exp_q31(h)); },
       [](int32_t h) { return 2147483648.0 * std::exp(-h / 1024.0); }, 0, 16383, 3.0},
  };
  for (const auto &c : cases) {
    double worst = 0.0;
    for (int32_t x = c.first; x <= c.last; ++x) {
      worst = std::fmax(worst, std::fabs(c.fixed(x) - c.real(x)));
    }
    EXPECT_LE(worst, c.tolerance) << c.what;
  }
}

}  // namespace
}  // namespace qx
