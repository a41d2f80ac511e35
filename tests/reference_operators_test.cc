// The reference operators through the dispatch rule on a reference-only CPU
// context: values at the saturation and rounding edges, evaluation order of
// the float operators, zero counts, map modes and rejected operand blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/device_context.h"
#include "runtime/fixed_point.h"
#include "runtime_test_support.h"

namespace qx {
namespace {

using testing_support::CpuContextTest;
using testing_support::make_block;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

int32_t float_bits(float value) {
  int32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

class ReferenceOperatorTest : public CpuContextTest {
 protected:
  void SetUp() override {
    CpuContextTest::SetUp();
    context_->flags |= kContextReferenceOnly;  // kernels added later must not hide these
  }
  QxStatus run(Opcode opcode, std::initializer_list<TensorBuffer *> tensors,
               std::initializer_list<int32_t> immediates) {
    const OperandBlock block = make_block(opcode, tensors, immediates);
    return run_operator(context_, opcode, &block);
  }
};

// ---- Element-wise additions ---------------------------------------------------

TEST_F(ReferenceOperatorTest, AddI16SaturatesBothWays) {
  struct Case {
    int16_t a, b, sum;
  };
  const Case cases[] = {{30000, 10000, 32767}, {-30000, -10000, -32768}, {32767, 1, 32767},
                        {-32768, -1, -32768},  {100, -50, 50},           {32767, -32768, -1}};
  std::vector<int16_t> a, b, expected;
  for (const Case &c : cases) {
    a.push_back(c.a);
    b.push_back(c.b);
    expected.push_back(c.sum);
  }
  TensorBuffer *out = make_tensor(static_cast<int32_t>(a.size() * 2));
  const int32_t n = static_cast<int32_t>(a.size());
  ASSERT_EQ(run(kOpAddI16, {out, make_tensor(a), make_tensor(b)}, {n, 0, 0, 0}), 0);
  EXPECT_EQ(contents<int16_t>(out), expected);
}

TEST_F(ReferenceOperatorTest, AddInPlaceAndAtOffsets) {
  // out and a are the same elements; b is read from its third element on.
  TensorBuffer *a = make_tensor(std::vector<int16_t>{1, 2, 3, 4});
  TensorBuffer *b = make_tensor(std::vector<int16_t>{0, 0, 10, 20, 30});
  ASSERT_EQ(run(kOpAddI16, {a, a, b}, {3, 2, 2, 4}), 0);
  EXPECT_EQ(contents<int16_t>(a), (std::vector<int16_t>{1, 12, 23, 34}));

  TensorBuffer *out = make_tensor(16, 0);
  TensorBuffer *fa = make_tensor(std::vector<float>{0.5f, 1.5f, -2.0f});
  TensorBuffer *fb = make_tensor(std::vector<float>{4.0f, 0.25f});
  ASSERT_EQ(run(kOpAddF32, {out, fa, fb}, {2, 8, 4, 0}), 0);
  EXPECT_EQ(contents<float>(out), (std::vector<float>{0.0f, 0.0f, 5.5f, -1.75f}));
}

// ---- Dense layers ---------------------------------------------------------------

TEST_F(ReferenceOperatorTest, DenseI8WithZeroWeightsGivesEightTimesBias) {
  for (int8_t bias : {int8_t{-128}, int8_t{-1}, int8_t{0}, int8_t{1}, int8_t{127}}) {
    TensorBuffer *out = make_tensor(3 * 2);
    TensorBuffer *x = make_tensor(std::vector<int16_t>{32767, -32768, 1234, 5, 6});
    TensorBuffer *w = make_tensor(std::vector<int8_t>(3 * 5, 0));
    TensorBuffer *b = make_tensor(std::vector<int8_t>(3, bias));
    ASSERT_EQ(run(kOpDenseI8, {out, x, w, b}, {1, 3, 5, 0, 0}), 0);
    EXPECT_EQ(contents<int16_t>(out), std::vector<int16_t>(3, static_cast<int16_t>(8 * bias)))
        << int{bias};
  }
}

TEST_F(ReferenceOperatorTest, DenseI8RoundsHalfUpAndSaturates) {
  struct Case {
    std::vector<int8_t> w;  // one output row
    std::vector<int16_t> x;
    int8_t bias;
    int16_t out;
  };
  const Case cases[] = {
      {{1, 0}, {64, 0}, 0, 1},         // (64 + 64) >> 7
      {{1, 0}, {63, 0}, 0, 0},         // (63 + 64) >> 7
      {{1, 0}, {-64, 0}, 0, 0},        // (-64 + 64) >> 7
      {{1, 0}, {-65, 0}, 0, -1},       // arithmetic shift rounds toward minus infinity
      {{2, -3}, {1024, 512}, 1, 12},   // (1024 + 2048 - 1536 + 64) >> 7
      {{127, 127}, {32767, 32767}, 127, 32767},
      {{-128, -128}, {32767, 32767}, -128, -32768},
      {{-128, 127}, {-32768, -32768}, 0, 256},  // (4194304 - 4161536 + 64) >> 7
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    TensorBuffer *out = make_tensor(2);
    ASSERT_EQ(run(kOpDenseI8, {out, make_tensor(c.x), make_tensor(c.w),
                               make_tensor(std::vector<int8_t>{c.bias})},
                  {1, 1, 2, 0, 0}),
              0);
    const int32_t acc = c.bias * 1024 + c.w[0] * c.x[0] + c.w[1] * c.x[1];
    EXPECT_EQ(contents<int16_t>(out)[0], sat16((acc + 64) >> 7)) << "case " << i;
    EXPECT_EQ(contents<int16_t>(out)[0], c.out) << "case " << i;
  }
}

// Rows of x and out follow each other at the input and output counts; row o
// of W holds output o's weights; offsets apply to out and x only.
TEST_F(ReferenceOperatorTest, DenseI8RowsAndOffsets) {
  const int32_t rows = 2, outputs = 3, inputs = 2;
  const std::vector<int8_t> w = {1, 2, -1, 0, 3, 3};
  const std::vector<int8_t> bias = {0, 1, -1};
  const std::vector<int16_t> x = {999, 128, 256, -384, 640};  // element 0 skipped by offset
  TensorBuffer *out = make_tensor(2 + rows * outputs * 2, 0);
  ASSERT_EQ(run(kOpDenseI8, {out, make_tensor(x), make_tensor(w), make_tensor(bias)},
                {rows, outputs, inputs, 2, 2}),
            0);
  // Row 0: x = (128, 256); row 1: x = (-384, 640). Values are acc / 128 rounded.
  const std::vector<int16_t> expected = {
      0,         // before the out offset: untouched
      5, 7, 1,   // (640 + 64) >> 7, (1024 - 128 + 64) >> 7, (-1024 + 1152 + 64) >> 7
      7, 11, -2  // (896 + 64) >> 7, (1024 + 384 + 64) >> 7, (-1024 - 1152 + 1920 + 64) >> 7
  };
  EXPECT_EQ(contents<int16_t>(out), expected);
}

TEST_F(ReferenceOperatorTest, DenseAccI8AddsUnsaturatedValueThenSaturates) {
  struct Case {
    int16_t before;
    int16_t x;
    int16_t after;
  };
  // Two weights of 127 and no bias: v = (254 x + 64) >> 7.
  const Case cases[] = {
      {1000, 1024, 1000 + 2032},
      {32000, 1024, 32767},
      {-32000, -1024, -32768},
      // v = 39688 lies outside int16 and is added whole: -30000 + 39688.
      {-30000, 20000, 9688},
      {30000, -20000, -9687},  // v = (-5080000 + 64) >> 7 = -39687
  };
  for (const Case &c : cases) {
    TensorBuffer *out = make_tensor(std::vector<int16_t>{c.before});
    ASSERT_EQ(run(kOpDenseAccI8,
                  {out, make_tensor(std::vector<int16_t>{c.x, c.x}),
                   make_tensor(std::vector<int8_t>{127, 127}), make_tensor(std::vector<int8_t>{0})},
                  {1, 1, 2, 0, 0}),
              0);
    EXPECT_EQ(contents<int16_t>(out)[0], c.after) << c.before << " + v(" << c.x << ")";
  }
}

// ---- Float activations ----------------------------------------------------------

TEST_F(ReferenceOperatorTest, GeluMatchesSigmoidApproximation) {
  const std::vector<float> x = {0.0f, 1.0f, -1.0f, 0.3f, -0.3f, 5.0f, -5.0f, 100.0f, -100.0f};
  TensorBuffer *out = make_tensor(static_cast<int32_t>(x.size() * 4));
  ASSERT_EQ(run(kOpGeluF32, {out, make_tensor(x)}, {static_cast<int32_t>(x.size()), 0, 0}), 0);
  const std::vector<float> y = contents<float>(out);
  for (size_t i = 0; i < x.size(); ++i) {
    const double expected = x[i] / (1.0 + std::exp(-1.702 * x[i]));
    EXPECT_NEAR(y[i], expected, 2e-6 * std::fabs(expected) + 1e-30) << x[i];
  }
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_EQ(y[7], 100.0f);  // e^-170 vanishes
}

// The float operators are defined by their single-precision formulas, in
// their order of operations; these pin every bit over a sweep of inputs.
TEST_F(ReferenceOperatorTest, GeluAndSoftmaxFollowTheirFormulasBitForBit) {
  std::vector<float> x;
  for (int i = -640; i <= 640; ++i) x.push_back(static_cast<float>(i) / 64.0f + 0.001f * (i % 7));
  const int32_t n = static_cast<int32_t>(x.size());
  TensorBuffer *input = make_tensor(x);
  TensorBuffer *out = make_tensor(n * 4);
  ASSERT_EQ(run(kOpGeluF32, {out, input}, {n, 0, 0}), 0);
  std::vector<float> y = contents<float>(out);
  for (int32_t i = 0; i < n; ++i) {
    const float d = 1.702f * x[i];
    const float t = std::exp(d);
    const float expected = d >= 0.0f ? x[i] / (std::exp(-d) + 1.0f) : t / (t + 1.0f) * x[i];
    ASSERT_EQ(float_bits(y[i]), float_bits(expected)) << x[i];
  }
  // One row of all the values: e^(x - max) summed in order, scaled by 1 / sum.
  ASSERT_EQ(run(kOpSoftmaxF32, {out, input}, {1, n, 0, 0}), 0);
  y = contents<float>(out);
  float sum = 0.0f;
  for (int32_t i = 0; i < n; ++i) sum += std::exp(x[i] - x[n - 1]);
  const float reciprocal = 1.0f / sum;
  for (int32_t i = 0; i < n; ++i) {
    ASSERT_EQ(float_bits(y[i]), float_bits(reciprocal * std::exp(x[i] - x[n - 1]))) << i;
  }
}

TEST_F(ReferenceOperatorTest, ReluKeepsOnlyPositiveValues) {
  const std::vector<float> x = {-1.0f, 0.0f, -0.0f, 2.5f, kNaN, -kNaN, 1e-40f};
  TensorBuffer *out = make_tensor(static_cast<int32_t>(x.size() * 4));
  ASSERT_EQ(run(kOpReluF32, {out, make_tensor(x)}, {static_cast<int32_t>(x.size()), 0, 0}), 0);
  const std::vector<float> y = contents<float>(out);
  const std::vector<float> expected = {0.0f, 0.0f, 0.0f, 2.5f, 0.0f, 0.0f, 1e-40f};
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(float_bits(y[i]), float_bits(expected[i])) << i;  // +0, never -0 or NaN
  }
}

// ---- normalize_f32_to_i16 -------------------------------------------------------

TEST_F(ReferenceOperatorTest, NormalizeEachColumnOverTheRows) {
  struct Case {
    const char *name;
    int32_t rows, columns;
    float epsilon;
    std::vector<float> x;
    std::vector<int16_t> out;
  };
  std::vector<float> outlier(2000, 0.0f);
  outlier[1999] = 1.0f;  // (1 - mean) / sd = 44.7 standard deviations
  // The others lie 0.0005 / 0.02236 below the mean: -22.9 truncated.
  std::vector<int16_t> outlier_out(2000, -22);
  outlier_out[1999] = 32767;
  std::vector<float> low_outlier(2000, 0.0f);
  low_outlier[0] = -1.0f;
  std::vector<int16_t> low_outlier_out(2000, 22);
  low_outlier_out[0] = -32768;
  const Case cases[] = {
      {"two columns", 2, 2, 0.0f, {1.0f, 10.0f, 3.0f, 30.0f}, {-1024, -1024, 1024, 1024}},
      {"constant", 3, 1, 1e-5f, {7.0f, 7.0f, 7.0f}, {0, 0, 0}},
      {"three rows", 3, 1, 0.0f, {0.0f, 1.0f, 2.0f}, {-1254, 0, 1254}},  // sd = sqrt(2/3)
      {"saturates high", 2000, 1, 0.0f, outlier, outlier_out},
      {"saturates low", 2000, 1, 0.0f, low_outlier, low_outlier_out},
      {"NaN stores 0", 2, 2, 0.0f, {kNaN, 1.0f, 0.0f, 3.0f}, {0, -1024, 0, 1024}},
  };
  for (const Case &c : cases) {
    TensorBuffer *out = make_tensor(c.rows * c.columns * 2);
    ASSERT_EQ(run(kOpNormalizeF32ToI16, {out, make_tensor(c.x)},
                  {float_bits(c.epsilon), c.rows, c.columns}),
              0);
    EXPECT_EQ(contents<int16_t>(out), c.out) << c.name;
  }
}

// ---- lstm_cell_i16 --------------------------------------------------------------

TEST_F(ReferenceOperatorTest, LstmClosedZGateKeepsTheCellWhateverU) {
  // z <= -8192 gives z' = 11: cell = (cell * 32756 + 16384) >> 15 and the
  // u term (11 u' + 2^19) >> 20 rounds to 0 for every u.
  for (int16_t z : {int16_t{-8192}, int16_t{-9000}, int16_t{-32768}}) {
    for (int16_t u : {int16_t{-32768}, int16_t{0}, int16_t{32767}}) {
      const std::vector<int16_t> cells = {1024, 2000, -2000, 32767, -32768, 0};
      const int32_t n = static_cast<int32_t>(cells.size());
      std::vector<int16_t> gates;
      for (int i = 0; i < n; ++i) gates.push_back(z);
      for (int i = 0; i < n; ++i) gates.push_back(u);
      for (int i = 0; i < n; ++i) gates.push_back(8128);  // o' = 32755
      TensorBuffer *h = make_tensor(n * 2);
      TensorBuffer *cell = make_tensor(cells);
      ASSERT_EQ(run(kOpLstmCellI16, {h, cell, make_tensor(gates)}, {n, 0, 0, 0}), 0);
      const std::vector<int16_t> kept = {1024, 1999, -1999, 32755, -32756, 0};
      EXPECT_EQ(contents<int16_t>(cell), kept) << "z " << z << " u " << u;
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(contents<int16_t>(h)[i], (tanh_q15(kept[i]) * 32755 + 524288) >> 20);
      }
    }
  }
}

TEST_F(ReferenceOperatorTest, LstmOneStepByHand) {
  // z = 0 (z' = 16384), u = 512 (u' = tanh 0.5 = 15142), o = 0 (o' = 16384),
  // cell 2048: kept = (2048 * 16383 + 16384) >> 15 = 1024,
  // added = (16384 * 15142 + 2^19) >> 20 = 237, cell = 1261;
  // tanh_q15(1261) = 2 * sigmoid_q15(2522) - 32768, h = (t * 16384 + 2^19) >> 20.
  TensorBuffer *h = make_tensor(2);
  TensorBuffer *cell = make_tensor(std::vector<int16_t>{2048});
  ASSERT_EQ(run(kOpLstmCellI16, {h, cell, make_tensor(std::vector<int16_t>{0, 512, 0})},
                {1, 0, 0, 0}),
            0);
  EXPECT_EQ(contents<int16_t>(cell)[0], 1261);
  const int32_t t = 2 * ((QX_SIGMOID_TABLE[39] * (64 - 26) + 26 * QX_SIGMOID_TABLE[40]) >> 6) - 32768;
  EXPECT_EQ(contents<int16_t>(h)[0], (t * 16384 + 524288) >> 20);
  EXPECT_EQ(contents<int16_t>(h)[0], 432);
}

TEST_F(ReferenceOperatorTest, LstmWithHAndCellInOneTensor) {
  const int32_t n = 5;
  const std::vector<int16_t> cells = {0, 1024, -3000, 20000, -32768};
  const std::vector<int16_t> gates = {-3000, 0, 2000, 8128, -8192,   // z
                                      100, -4000, 32767, 0, 700,     // u
                                      0, 5000, -5000, -32768, 32767};  // o
  // Separate tensors first.
  TensorBuffer *h = make_tensor(n * 2);
  TensorBuffer *cell = make_tensor(cells);
  ASSERT_EQ(run(kOpLstmCellI16, {h, cell, make_tensor(gates)}, {n, 0, 0, 0}), 0);
  // One tensor: cell at bytes 4 ... 13, h right after it at bytes 14 ... 23.
  std::vector<int16_t> state(2 + 2 * n, 0);
  std::copy(cells.begin(), cells.end(), state.begin() + 2);
  TensorBuffer *shared = make_tensor(state);
  ASSERT_EQ(run(kOpLstmCellI16, {shared, shared, make_tensor(gates)}, {n, 4 + 2 * n, 4, 0}), 0);
  const std::vector<int16_t> both = contents<int16_t>(shared);
  EXPECT_EQ(std::vector<int16_t>(both.begin() + 2, both.begin() + 2 + n), contents<int16_t>(cell));
  EXPECT_EQ(std::vector<int16_t>(both.begin() + 2 + n, both.end()), contents<int16_t>(h));
}

// ---- matmul_f32 -----------------------------------------------------------------

TEST_F(ReferenceOperatorTest, MatmulMultipliesByTransposedWeights) {
  // x: 2 x 3 from byte 4; W: 2 x 3 from byte 0; out: 2 x 2 from byte 8.
  TensorBuffer *x = make_tensor(std::vector<float>{99, 1, 2, 3, 4, 5, 6});
  TensorBuffer *w = make_tensor(std::vector<float>{1, 0, -1, 0.5f, 0.5f, 0.5f});
  TensorBuffer *out = make_tensor(8 + 16, 0);
  ASSERT_EQ(run(kOpMatmulF32, {out, x, w}, {2, 2, 3, 8, 4, 0}), 0);
  EXPECT_EQ(contents<float>(out), (std::vector<float>{0, 0, -2, 3, -2, 7.5f}));
}

TEST_F(ReferenceOperatorTest, MatmulRoundsEachProductAndAddsInIncreasingK) {
  const float a = 1.0f + 0x1p-12f;  // a * a = 1 + 2^-11 + 2^-24, rounds to 1 + 2^-11
  struct Case {
    const char *name;
    std::vector<float> x, w;
    float expected;
  };
  const Case cases[] = {
      // Left to right: (1e8 - 1e8) + 1; from the right -1e8 + 1 is -1e8.
      {"order", {1e8f, -1e8f, 1.0f}, {1.0f, 1.0f, 1.0f}, 1.0f},
      {"order", {1.0f, 1e8f, -1e8f}, {1.0f, 1.0f, 1.0f}, 0.0f},
      // A fused multiply-add would keep the product's last 2^-24.
      {"no fusion", {-(1.0f + 0x1p-11f), a}, {1.0f, a}, 0.0f},
  };
  for (const Case &c : cases) {
    TensorBuffer *out = make_tensor(4);
    const int32_t k = static_cast<int32_t>(c.x.size());
    ASSERT_EQ(run(kOpMatmulF32, {out, make_tensor(c.x), make_tensor(c.w)}, {1, 1, k, 0, 0, 0}), 0);
    EXPECT_EQ(contents<float>(out)[0], c.expected) << c.name;
  }
}

// ---- Byte operators -------------------------------------------------------------

TEST_F(ReferenceOperatorTest, CopyAndZeroBytes) {
  struct Case {
    const char *name;
    Opcode opcode;
    std::vector<int32_t> immediates;  // length, destination offset[, source offset]
    bool same_tensor;
    std::vector<uint8_t> expected;
  };
  // Destination 0 1 2 3 4 5 6 7; source 10 11 12 13 14 15 16 17.
  const Case cases[] = {
      {"copy", kOpCopyBytes, {3, 2, 5}, false, {0, 1, 15, 16, 17, 5, 6, 7}},
      {"copy nothing", kOpCopyBytes, {0, 2, 5}, false, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"negative copy", kOpCopyBytes, {-4, 2, 5}, false, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"overlap forward", kOpCopyBytes, {4, 2, 0}, true, {0, 1, 0, 1, 2, 3, 6, 7}},
      {"overlap backward", kOpCopyBytes, {4, 0, 2}, true, {2, 3, 4, 5, 4, 5, 6, 7}},
      {"zero", kOpZeroBytes, {3, 4}, false, {0, 1, 2, 3, 0, 0, 0, 7}},
      {"zero nothing", kOpZeroBytes, {0, 4}, false, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"negative zero", kOpZeroBytes, {-1, 4}, false, {0, 1, 2, 3, 4, 5, 6, 7}},
  };
  for (const Case &c : cases) {
    TensorBuffer *destination = make_tensor(std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7});
    TensorBuffer *source =
        c.same_tensor ? destination : make_tensor(std::vector<uint8_t>{10, 11, 12, 13, 14, 15, 16, 17});
    const auto &m = c.immediates;
    const QxStatus status = c.opcode == kOpCopyBytes
                                ? run(kOpCopyBytes, {destination, source}, {m[0], m[1], m[2]})
                                : run(kOpZeroBytes, {destination}, {m[0], m[1]});
    ASSERT_EQ(status, 0) << c.name;
    EXPECT_EQ(contents<uint8_t>(destination), c.expected) << c.name;
  }
}

// ---- Softmax ----------------------------------------------------------------------

TEST_F(ReferenceOperatorTest, SoftmaxF32) {
  struct Case {
    const char *name;
    int32_t rows, columns;
    std::vector<float> x;
    std::vector<float> out;
  };
  const Case cases[] = {
      {"one value", 1, 1, {-3.0f}, {1.0f}},
      {"two equal", 1, 2, {2.0f, 2.0f}, {0.5f, 0.5f}},
      {"large equal", 1, 2, {1000.0f, 1000.0f}, {0.5f, 0.5f}},  // shifted by the maximum
      {"rows apart", 2, 2, {0.0f, 0.0f, 5.0f, 5.0f}, {0.5f, 0.5f, 0.5f, 0.5f}},
  };
  for (const Case &c : cases) {
    TensorBuffer *out = make_tensor(c.rows * c.columns * 4);
    ASSERT_EQ(run(kOpSoftmaxF32, {out, make_tensor(c.x)}, {c.rows, c.columns, 0, 0}), 0);
    EXPECT_EQ(contents<float>(out), c.out) << c.name;
  }
  // Against the real softmax.
  const std::vector<float> x = {0.1f, -1.0f, 2.0f, 0.5f};
  TensorBuffer *out = make_tensor(16);
  ASSERT_EQ(run(kOpSoftmaxF32, {out, make_tensor(x)}, {1, 4, 0, 0}), 0);
  double sum = 0.0;
  for (float v : x) sum += std::exp(static_cast<double>(v));
  for (size_t j = 0; j < x.size(); ++j) {
    EXPECT_NEAR(contents<float>(out)[j], std::exp(static_cast<double>(x[j])) / sum, 1e-6);
  }
}

TEST_F(ReferenceOperatorTest, SoftmaxI16ToQ31) {
  struct Case {
    const char *name;
    int32_t rows, columns;
    std::vector<int16_t> x;
    std::vector<int32_t> out;
  };
  const Case cases[] = {
      {"two equal", 1, 2, {500, 500}, {1073741824, 1073741824}},
      {"16383 apart", 1, 2, {0, -16383}, {2147483406, 242}},
      {"65535 apart", 1, 2, {-32768, 32767}, {242, 2147483406}},
      {"one value", 1, 1, {-7}, {2147483645}},
      {"rows apart", 2, 2, {0, 0, 3000, -13383}, {1073741824, 1073741824, 2147483406, 242}},
  };
  for (const Case &c : cases) {
    TensorBuffer *out = make_tensor(c.rows * c.columns * 4);
    ASSERT_EQ(run(kOpSoftmaxI16ToQ31, {out, make_tensor(c.x)}, {c.rows, c.columns, 0, 0}), 0);
    EXPECT_EQ(contents<int32_t>(out), c.out) << c.name;
  }
  // Against the real softmax of Q10 inputs, within 2^-20.
  const std::vector<int16_t> x = {0, 1024, -2048, 700, 3000};
  TensorBuffer *out = make_tensor(20);
  ASSERT_EQ(run(kOpSoftmaxI16ToQ31, {out, make_tensor(x)}, {1, 5, 0, 0}), 0);
  double sum = 0.0;
  for (int16_t v : x) sum += std::exp(v / 1024.0);
  for (size_t j = 0; j < x.size(); ++j) {
    EXPECT_NEAR(contents<int32_t>(out)[j] / 2147483648.0, std::exp(x[j] / 1024.0) / sum, 0x1p-20);
  }
}

// ---- standardize_i16 and sum_rows_i16_to_f32 ------------------------------------

TEST_F(ReferenceOperatorTest, StandardizeInPlacePerColumn) {
  // Two rows of three columns, in place at byte offset 2 of one tensor.
  TensorBuffer *x = make_tensor(std::vector<int16_t>{77, 1024, 0, 32767, 2048, -1, -32768});
  TensorBuffer *shift = make_tensor(std::vector<int16_t>{512, 0, -32768});
  TensorBuffer *scale = make_tensor(std::vector<int16_t>{2048, 1, 32767});
  ASSERT_EQ(run(kOpStandardizeI16, {x, x, shift, scale}, {2, 3, 2, 2}), 0);
  const std::vector<int16_t> expected = {
      77,
      1024,    // (1024 - 512) * 2048 >> 10
      0,       // 0 * 1 >> 10
      32767,   // (32767 + 32768) * 32767 >> 10 saturates
      3072,    // (2048 - 512) * 2048 >> 10
      -1,      // -1 * 1 >> 10 rounds toward minus infinity
      0,       // (-32768 + 32768) * 32767 >> 10
  };
  EXPECT_EQ(contents<int16_t>(x), expected);
  TensorBuffer *low = make_tensor(std::vector<int16_t>{-32768});
  ASSERT_EQ(run(kOpStandardizeI16, {low, low, make_tensor(std::vector<int16_t>{32767}),
                                    make_tensor(std::vector<int16_t>{32767})},
                {1, 1, 0, 0}),
            0);
  EXPECT_EQ(contents<int16_t>(low)[0], -32768);
}

TEST_F(ReferenceOperatorTest, SumRowsScalesColumnSumsBy2PowMinus10) {
  struct Case {
    const char *name;
    int32_t rows, columns;
    std::vector<int16_t> x;
    std::vector<float> out;
  };
  const Case cases[] = {
      {"one row of 1024", 1, 1, {1024}, {1.0f}},
      {"columns", 3, 2, {1024, -512, 2048, -512, -1024, 1}, {2.0f, -1023.0f / 1024}},
      {"full scale", 4, 1, {32767, 32767, 32767, 32767}, {4 * 32767 / 1024.0f}},
      {"no rows writes zeros", 0, 3, {}, {0.0f, 0.0f, 0.0f}},
      {"negative rows writes zeros", -2, 2, {}, {0.0f, 0.0f}},
  };
  for (const Case &c : cases) {
    TensorBuffer *out = make_tensor(static_cast<int32_t>(c.out.size() * 4), 0xFF);  // NaN bytes
    TensorBuffer *x = c.x.empty() ? make_tensor(2) : make_tensor(c.x);
    ASSERT_EQ(run(kOpSumRowsI16ToF32, {out, x}, {c.rows, c.columns, 0, 0}), 0);
    EXPECT_EQ(contents<float>(out), c.out) << c.name;
  }
}

// ---- Zero counts ------------------------------------------------------------------

// Every operator given a zero (or negative) count, row, column or width
// leaves its outputs alone, except the two that define zeros as the result.
TEST_F(ReferenceOperatorTest, ZeroCountsWriteNothingExceptTheZeroFillingCases) {
  struct Case {
    Opcode opcode;
    std::vector<int32_t> immediates;
    bool writes_zeros;
  };
  const int32_t eps = float_bits(1e-5f);
  const Case cases[] = {
      {kOpAddF32, {0, 0, 0, 0}, false},         {kOpAddI16, {-1, 0, 0, 0}, false},
      {kOpDenseAccI8, {0, 2, 2, 0, 0}, false},  {kOpDenseI8, {1, 0, 2, 0, 0}, false},
      {kOpDenseI8, {1, 2, 0, 0, 0}, false},     {kOpDenseI8, {-1, 2, 2, 0, 0}, false},
      {kOpGeluF32, {0, 0, 0}, false},           {kOpNormalizeF32ToI16, {eps, 0, 2}, false},
      {kOpNormalizeF32ToI16, {eps, 2, 0}, false}, {kOpLstmCellI16, {0, 0, 0, 0}, false},
      {kOpMatmulF32, {0, 2, 2, 0, 0, 0}, false}, {kOpMatmulF32, {2, 0, 2, 0, 0, 0}, false},
      {kOpMatmulF32, {2, 2, 0, 0, 0, 0}, true},  {kOpMatmulF32, {2, 2, -3, 0, 0, 0}, true},
      {kOpCopyBytes, {0, 0, 0}, false},         {kOpZeroBytes, {0, 0}, false},
      {kOpReluF32, {-5, 0, 0}, false},          {kOpSoftmaxF32, {0, 2, 0, 0}, false},
      {kOpSoftmaxF32, {2, 0, 0, 0}, false},     {kOpSoftmaxI16ToQ31, {1, 0, 0, 0}, false},
      {kOpStandardizeI16, {0, 2, 0, 0}, false}, {kOpSumRowsI16ToF32, {2, 0, 0, 0}, false},
      {kOpSumRowsI16ToF32, {0, 2, 0, 0}, true},
  };
  for (const Case &c : cases) {
    const int count = kOpcodeDescriptors[c.opcode].tensor_count;
    std::vector<TensorBuffer *> t;
    for (int i = 0; i < count; ++i) t.push_back(make_tensor(64, 0x7F));
    OperandBlock block{};
    for (int i = 0; i < count; ++i) block.set_tensor(i, t[static_cast<size_t>(i)]);
    for (size_t i = 0; i < c.immediates.size(); ++i) {
      block.set_immediate(count, static_cast<int>(i), c.immediates[i]);
    }
    ASSERT_EQ(run_operator(context_, c.opcode, &block), 0) << "opcode " << c.opcode;
    const std::vector<uint8_t> out = contents<uint8_t>(t[0]);
    // matmul's 2 x 2 and sum_rows' 2 columns: 16 or 8 bytes of float zeros.
    const size_t zeroed = !c.writes_zeros ? 0 : (c.opcode == kOpMatmulF32 ? 16 : 8);
    for (size_t i = 0; i < out.size(); ++i) {
      ASSERT_EQ(out[i], i < zeroed ? 0 : 0x7F) << "opcode " << c.opcode << " byte " << i;
    }
    for (int i = 1; i < count; ++i) {
      EXPECT_EQ(contents<uint8_t>(t[static_cast<size_t>(i)]), std::vector<uint8_t>(64, 0x7F));
    }
  }
}

// ---- Map modes --------------------------------------------------------------------

struct MapEvent {
  TensorBuffer *tensor;
  bool is_map;
  int32_t mode_or_written;
};
std::vector<MapEvent> g_map_events;
MapFn g_cpu_map = nullptr;
UnmapFn g_cpu_unmap = nullptr;

void *recording_map(void *backend, TensorBuffer *tensor, int32_t mode) {
  g_map_events.push_back({tensor, true, mode});
  return g_cpu_map(backend, tensor, mode);
}
void recording_unmap(void *backend, TensorBuffer *tensor, int32_t written) {
  g_map_events.push_back({tensor, false, written});
  g_cpu_unmap(backend, tensor, written);
}

// The CPU column's map and unmap are replaced by recording ones for a test.
class MapRecordingTest : public ReferenceOperatorTest {
 protected:
  void SetUp() override {
    ReferenceOperatorTest::SetUp();
    OperationTable &table = operation_table();
    g_cpu_map = table.map[kDeviceCpu];
    g_cpu_unmap = table.unmap[kDeviceCpu];
    table.map[kDeviceCpu] = recording_map;
    table.unmap[kDeviceCpu] = recording_unmap;
    g_map_events.clear();
  }
  void TearDown() override {
    OperationTable &table = operation_table();
    table.map[kDeviceCpu] = g_cpu_map;
    table.unmap[kDeviceCpu] = g_cpu_unmap;
    ReferenceOperatorTest::TearDown();
  }
};

enum Use { kIn, kOut, kInOut };  // read / only written / read and written

struct OperatorUse {
  Opcode opcode;
  std::vector<int32_t> immediates;  // a small valid block over 64-byte tensors
  std::vector<Use> uses;            // per tensor operand
};

std::vector<OperatorUse> operator_uses() {
  const int32_t eps = float_bits(1e-5f);
  return {
      {kOpAddF32, {2, 0, 0, 0}, {kOut, kIn, kIn}},
      {kOpAddI16, {2, 0, 0, 0}, {kOut, kIn, kIn}},
      {kOpDenseAccI8, {1, 2, 2, 0, 0}, {kInOut, kIn, kIn, kIn}},
      {kOpDenseI8, {1, 2, 2, 0, 0}, {kOut, kIn, kIn, kIn}},
      {kOpGeluF32, {2, 0, 0}, {kOut, kIn}},
      {kOpNormalizeF32ToI16, {eps, 2, 2}, {kOut, kIn}},
      {kOpLstmCellI16, {2, 0, 0, 0}, {kOut, kInOut, kIn}},
      {kOpMatmulF32, {1, 2, 2, 0, 0, 0}, {kOut, kIn, kIn}},
      {kOpCopyBytes, {4, 0, 0}, {kInOut, kIn}},  // only part of the destination changes
      {kOpZeroBytes, {4, 0}, {kOut}},
      {kOpReluF32, {2, 0, 0}, {kOut, kIn}},
      {kOpSoftmaxF32, {1, 2, 0, 0}, {kOut, kIn}},
      {kOpSoftmaxI16ToQ31, {1, 2, 0, 0}, {kOut, kIn}},
      {kOpStandardizeI16, {1, 2, 0, 0}, {kOut, kIn, kIn, kIn}},
      {kOpSumRowsI16ToF32, {1, 2, 0, 0}, {kOut, kIn}},
  };
}

TEST_F(MapRecordingTest, EveryOperandMappedOnceWithItsModeAndUnmappedAsWrittenOrNot) {
  const std::vector<OperatorUse> uses = operator_uses();
  ASSERT_EQ(uses.size(), static_cast<size_t>(kOpcodeCount));
  for (const OperatorUse &u : uses) {
    const int count = kOpcodeDescriptors[u.opcode].tensor_count;
    ASSERT_EQ(u.uses.size(), static_cast<size_t>(count));
    std::vector<TensorBuffer *> t;
    OperandBlock block{};
    for (int i = 0; i < count; ++i) {
      t.push_back(make_tensor(64, 0));
      block.set_tensor(i, t.back());
    }
    for (size_t i = 0; i < u.immediates.size(); ++i) {
      block.set_immediate(count, static_cast<int>(i), u.immediates[i]);
    }
    g_map_events.clear();
    ASSERT_EQ(run_operator(context_, u.opcode, &block), 0);
    for (int i = 0; i < count; ++i) {
      const Use use = u.uses[static_cast<size_t>(i)];
      int maps = 0, unmaps = 0;
      for (const MapEvent &e : g_map_events) {
        if (e.tensor != t[static_cast<size_t>(i)]) continue;
        if (e.is_map) {
          ++maps;
          EXPECT_EQ(unmaps, 0) << "opcode " << u.opcode << " operand " << i << ": mapped after unmap";
          EXPECT_EQ(e.mode_or_written, use == kOut ? kMapWrite : kMapRead)
              << "opcode " << u.opcode << " operand " << i;
        } else {
          ++unmaps;
          EXPECT_EQ(e.mode_or_written, use == kIn ? 0 : 1)
              << "opcode " << u.opcode << " operand " << i;
        }
      }
      EXPECT_EQ(maps, 1) << "opcode " << u.opcode << " operand " << i;
      EXPECT_EQ(unmaps, 1) << "opcode " << u.opcode << " operand " << i;
    }
  }
}

// ---- Operand blocks that reach outside their tensors ----------------------------

// Each block would read or write outside a 64-byte tensor (or name none): the
// operator returns 3 without mapping, reading or writing anything.
TEST_F(MapRecordingTest, BlocksReachingOutsideTheirTensorsAreRejected) {
  struct Case {
    const char *name;
    Opcode opcode;
    std::vector<int32_t> immediates;
    int null_operand;  // -1: none
  };
  const Case cases[] = {
      {"count past the end", kOpAddF32, {17, 0, 0, 0}, -1},
      {"offset past the end", kOpAddI16, {1, 0, 64, 0}, -1},
      {"negative offset", kOpAddI16, {1, -2, 0, 0}, -1},
      {"misaligned offset", kOpAddF32, {1, 0, 0, 2}, -1},
      {"x rows past the end", kOpDenseI8, {2, 2, 17, 0, 0}, -1},
      {"weights past the end", kOpDenseAccI8, {1, 9, 8, 0, 0}, -1},
      {"outputs past the end", kOpDenseI8, {1, 65, 1, 0, 0}, -1},
      {"huge matrix", kOpDenseI8, {65536, 65536, 1, 0, 0}, -1},
      {"normalize rows", kOpNormalizeF32ToI16, {0, 17, 1}, -1},
      {"gates past the end", kOpLstmCellI16, {11, 0, 0, 0}, -1},
      {"cell offset", kOpLstmCellI16, {2, 0, 62, 0}, -1},
      {"matmul K", kOpMatmulF32, {1, 1, 17, 0, 0, 0}, -1},
      {"matmul zero fill past the end", kOpMatmulF32, {4, 5, 0, 0, 0, 0}, -1},
      {"copy source", kOpCopyBytes, {8, 0, 60}, -1},
      {"zero length", kOpZeroBytes, {65, 0}, -1},
      {"relu", kOpReluF32, {1, 64, 0}, -1},
      {"softmax", kOpSoftmaxF32, {2, 9, 0, 0}, -1},
      {"softmax q31 input", kOpSoftmaxI16ToQ31, {1, 16, 0, 34}, -1},
      {"standardize columns", kOpStandardizeI16, {1, 33, 0, 0}, -1},
      {"sum rows zero fill past the end", kOpSumRowsI16ToF32, {0, 17, 0, 0}, -1},
      {"null output", kOpAddF32, {1, 0, 0, 0}, 0},
      {"null input with zero count", kOpGeluF32, {0, 0, 0}, 1},
  };
  for (const Case &c : cases) {
    const int count = kOpcodeDescriptors[c.opcode].tensor_count;
    std::vector<TensorBuffer *> t;
    OperandBlock block{};
    for (int i = 0; i < count; ++i) {
      t.push_back(make_tensor(64, 0x3C));
      block.set_tensor(i, i == c.null_operand ? nullptr : t.back());
    }
    for (size_t i = 0; i < c.immediates.size(); ++i) {
      block.set_immediate(count, static_cast<int>(i), c.immediates[i]);
    }
    g_map_events.clear();
    EXPECT_EQ(run_operator(context_, c.opcode, &block), QX_STATUS_INVALID_ARGUMENT) << c.name;
    EXPECT_TRUE(g_map_events.empty()) << c.name;
    for (TensorBuffer *tensor : t) {
      EXPECT_EQ(contents<uint8_t>(tensor), std::vector<uint8_t>(64, 0x3C)) << c.name;
    }
  }
}

}  // namespace
}  // namespace qx
