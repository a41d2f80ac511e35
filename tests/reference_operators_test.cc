// The reference operators through the dispatch rule on a reference-only CPU
// context: values at the saturation and rounding edges, the float operators'
// order of operations, zero counts, map modes and rejected operand blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/fixed_point.h"
#include "runtime_test_support.h"

namespace qx {
namespace {

using namespace testing_support;  // NOLINT: tensor literals
using Bytes = std::vector<uint8_t>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
int32_t bits(float value) {
  int32_t b;
  std::memcpy(&b, &value, sizeof(b));
  return b;
}

class ReferenceOperatorTest : public CpuContextTest {
 protected:
  void SetUp() override {
    CpuContextTest::SetUp();
    context_->flags |= kContextReferenceOnly;  // kernels added later must not hide these
  }
  // Runs one operator on tensors made from `contents`; an empty entry after
  // the first names operand 0's tensor again (in place).
  std::vector<TensorBuffer *> run(Opcode opcode, const std::vector<Bytes> &contents,
                                  const std::vector<int32_t> &immediates,
                                  QxStatus expected = QX_STATUS_SUCCESS) {
    std::vector<TensorBuffer *> t;
    for (const Bytes &c : contents) t.push_back(c.empty() && !t.empty() ? t[0] : make_tensor(c));
    const OperandBlock block = make_block(opcode, t, immediates);
    EXPECT_EQ(run_operator(context_, opcode, &block), expected) << "opcode " << opcode;
    return t;
  }
};

struct Case {
  const char *name;
  Opcode opcode;
  std::vector<Bytes> tensors;
  std::vector<int32_t> immediates;
  Bytes out;  // operand 0 afterwards
};

TEST_F(ReferenceOperatorTest, ValuesAtTheEdges) {
  const Bytes digits = i8({0, 1, 2, 3, 4, 5, 6, 7});
  const float a = 1.0f + 0x1p-12f;  // a * a = 1 + 2^-11 + 2^-24 rounds to 1 + 2^-11
  // clang-format off
  const Case cases[] = {
      {"add_i16 saturates", kOpAddI16, {i16({0, 0, 0, 0}), i16({30000, -30000, 32767, 100}),
       i16({10000, -10000, 1, -50})}, {4, 0, 0, 0}, i16({32767, -32768, 32767, 50})},
      {"add_i16 in place at offsets", kOpAddI16, {i16({1, 2, 3, 4}), {}, i16({0, 0, 10, 20, 30})},
       {3, 2, 2, 4}, i16({1, 12, 23, 34})},
      {"add_f32 at offsets", kOpAddF32, {f32({0, 0, 0, 0}), f32({0.5f, 1.5f, -2}), f32({4, 0.25f})},
       {2, 8, 4, 0}, f32({0, 0, 5.5f, -1.75f})},
      {"dense_i8 of zero weights is 8 bias", kOpDenseI8, {i16({0, 0}), i16({32767, -32768}),
       i8({0, 0, 0, 0}), i8({-128, 127})}, {1, 2, 2, 0, 0}, i16({-1024, 1016})},
      {"dense_i8 rounds half up, shifts toward -inf", kOpDenseI8, {i16({9, 9, 9, 9}),
       i16({64, 63, -64, -65}), i8({1}), i8({0})}, {4, 1, 1, 0, 0}, i16({1, 0, 0, -1})},
      {"dense_i8 saturates", kOpDenseI8, {i16({0, 0}), i16({32767, 32767}),
       i8({127, 127, -128, -128}), i8({127, -128})}, {1, 2, 2, 0, 0}, i16({32767, -32768})},
      // x rows (128, 256), (-384, 640) after the offset; W rows (1, 2), (-1, 0), (3, 3).
      {"dense_i8 rows and offsets", kOpDenseI8, {i16({0, 0, 0, 0, 0, 0, 0}),
       i16({999, 128, 256, -384, 640}), i8({1, 2, -1, 0, 3, 3}), i8({0, 1, -1})},
       {2, 3, 2, 2, 2}, i16({0, 5, 7, 1, 7, 11, -2})},
      // v = (254 x + 64) >> 7 per row is added whole, then saturated.
      {"dense_acc_i8 adds the unsaturated value", kOpDenseAccI8,
       {i16({1000, 32000, -32000, -30000, 30000}), i16({1024, 1024, 1024, 1024, -1024, -1024,
       20000, 20000, -20000, -20000}), i8({127, 127}), i8({0})}, {5, 1, 2, 0, 0},
       i16({3032, 32767, -32768, 9688, -9687})},
      {"matmul_f32 by transposed W at offsets", kOpMatmulF32, {f32({0, 0, 0, 0, 0, 0}),
       f32({99, 1, 2, 3, 4, 5, 6}), f32({1, 0, -1, 0.5f, 0.5f, 0.5f})}, {2, 2, 3, 8, 4, 0},
       f32({0, 0, -2, 3, -2, 7.5f})},
      {"matmul_f32 adds in increasing k", kOpMatmulF32, {f32({9}), f32({1e8f, -1e8f, 1}),
       f32({1, 1, 1})}, {1, 1, 3, 0, 0, 0}, f32({1})},
      {"matmul_f32 rounds each product", kOpMatmulF32, {f32({9}), f32({-(1.0f + 0x1p-11f), a}),
       f32({1, a})}, {1, 1, 2, 0, 0, 0}, f32({0})},
      {"matmul_f32 with K = 0 writes zeros", kOpMatmulF32, {f32({kNaN, kNaN, kNaN, kNaN, 7}),
       f32({1}), f32({1})}, {2, 2, 0, 0, 0, 0}, f32({0, 0, 0, 0, 7})},
      {"matmul_f32 with K < 0 writes zeros", kOpMatmulF32, {f32({kNaN}), f32({1}), f32({1})},
       {1, 1, -3, 0, 0, 0}, f32({0})},
      {"copy_bytes", kOpCopyBytes, {digits, i8({10, 11, 12, 13, 14, 15, 16, 17})}, {3, 2, 5},
       i8({0, 1, 15, 16, 17, 5, 6, 7})},
      {"copy_bytes overlapping", kOpCopyBytes, {digits, {}}, {4, 2, 0},
       i8({0, 1, 0, 1, 2, 3, 6, 7})},
      {"copy_bytes negative length", kOpCopyBytes, {digits, digits}, {-4, 2, 5}, digits},
      {"zero_bytes", kOpZeroBytes, {digits}, {3, 4}, i8({0, 1, 2, 3, 0, 0, 0, 7})},
      {"zero_bytes negative length", kOpZeroBytes, {digits}, {-1, 4}, digits},
      {"relu_f32 gives +0 otherwise", kOpReluF32, {f32({9, 9, 9, 9, 9, 9}),
       f32({-1, 0, -0.0f, 2.5f, kNaN, 1e-40f})}, {6, 0, 0}, f32({0, 0, 0, 2.5f, 0, 1e-40f})},
      {"gelu_f32 ends", kOpGeluF32, {f32({9, 9, 9}), f32({0, 100, -100})}, {3, 0, 0},
       f32({0, 100, -0.0f})},
      {"normalize per column", kOpNormalizeF32ToI16, {i16({9, 9, 9, 9}), f32({1, 10, 3, 30})},
       {bits(0), 2, 2}, i16({-1024, -1024, 1024, 1024})},
      {"normalize of a constant", kOpNormalizeF32ToI16, {i16({9, 9, 9}), f32({7, 7, 7})},
       {bits(1e-5f), 3, 1}, i16({0, 0, 0})},
      {"normalize truncates toward 0", kOpNormalizeF32ToI16, {i16({9, 9, 9}), f32({0, 1, 2})},
       {bits(0), 3, 1}, i16({-1254, 0, 1254})},
      {"normalize saturates", kOpNormalizeF32ToI16, {i16({9, 9}), f32({0, 2})},
       {bits(-0.999999f), 2, 1}, i16({-32768, 32767})},
      {"normalize stores 0 for NaN", kOpNormalizeF32ToI16, {i16({9, 9, 9, 9}),
       f32({kNaN, 1, 0, 3})}, {bits(0), 2, 2}, i16({0, -1024, 0, 1024})},
      {"softmax_f32 of one value", kOpSoftmaxF32, {f32({9}), f32({-3})}, {1, 1, 0, 0}, f32({1})},
      {"softmax_f32 of equal values", kOpSoftmaxF32, {f32({9, 9, 9, 9}),
       f32({1000, 1000, -5, -5})}, {2, 2, 0, 0}, f32({0.5f, 0.5f, 0.5f, 0.5f})},
      {"softmax_i16_to_q31 of equal values", kOpSoftmaxI16ToQ31, {i32({9, 9}), i16({500, 500})},
       {1, 2, 0, 0}, i32({1073741824, 1073741824})},
      {"softmax_i16_to_q31 16383 and 65535 apart", kOpSoftmaxI16ToQ31, {i32({9, 9, 9, 9}),
       i16({0, -16383, -32768, 32767})}, {2, 2, 0, 0}, i32({2147483406, 242, 242, 2147483406})},
      {"softmax_i16_to_q31 of one value", kOpSoftmaxI16ToQ31, {i32({9}), i16({-7})},
       {1, 1, 0, 0}, i32({2147483645})},
      {"standardize_i16 in place per column", kOpStandardizeI16,
       {i16({77, 1024, 0, 32767, 2048, -1, -32768}), {}, i16({512, 0, -32768}),
       i16({2048, 1, 32767})}, {2, 3, 2, 2}, i16({77, 1024, 0, 32767, 3072, -1, 0})},
      {"standardize_i16 saturates low", kOpStandardizeI16, {i16({9}), i16({-32768}), i16({32767}),
       i16({32767})}, {1, 1, 0, 0}, i16({-32768})},
      {"sum_rows of one row of 1024", kOpSumRowsI16ToF32, {f32({9}), i16({1024})}, {1, 1, 0, 0},
       f32({1})},
      {"sum_rows per column", kOpSumRowsI16ToF32, {f32({9, 9}),
       i16({1024, -512, 2048, -512, -1024, 1})}, {3, 2, 0, 0}, f32({2, -1023.0f / 1024})},
      {"sum_rows of no rows writes zeros", kOpSumRowsI16ToF32, {f32({kNaN, kNaN, 7}), i16({1})},
       {0, 2, 0, 0}, f32({0, 0, 7})},
  };
  // clang-format on
  for (const Case &c : cases) {
    EXPECT_EQ(bytes_of(run(c.opcode, c.tensors, c.immediates)[0]), c.out) << c.name;
  }
}

// Zero (or negative) counts, rows, columns and widths write nothing; only
// matmul_f32's K and sum_rows' rows produce zeros (above).
TEST_F(ReferenceOperatorTest, EmptyCountsWriteNothing) {
  const Bytes s = i16({9, 9});
  const Case cases[] = {
      {"add_f32", kOpAddF32, {s, s, s}, {0, 0, 0, 0}, s},
      {"add_i16", kOpAddI16, {s, s, s}, {-1, 0, 0, 0}, s},
      {"dense_acc_i8 rows", kOpDenseAccI8, {s, s, s, s}, {0, 1, 1, 0, 0}, s},
      {"dense_i8 outputs", kOpDenseI8, {s, s, s, s}, {1, 0, 1, 0, 0}, s},
      {"dense_i8 inputs", kOpDenseI8, {s, s, s, s}, {1, 1, 0, 0, 0}, s},
      {"gelu_f32", kOpGeluF32, {s, s}, {0, 0, 0}, s},
      {"normalize rows", kOpNormalizeF32ToI16, {s, s}, {0, 0, 1}, s},
      {"normalize columns", kOpNormalizeF32ToI16, {s, s}, {0, 1, 0}, s},
      {"lstm_cell_i16", kOpLstmCellI16, {s, s, s}, {0, 0, 0, 0}, s},
      {"matmul_f32 M", kOpMatmulF32, {s, s, s}, {0, 1, 1, 0, 0, 0}, s},
      {"matmul_f32 N", kOpMatmulF32, {s, s, s}, {1, 0, 1, 0, 0, 0}, s},
      {"copy_bytes", kOpCopyBytes, {s, s}, {0, 0, 0}, s},
      {"zero_bytes", kOpZeroBytes, {s}, {0, 0}, s},
      {"relu_f32", kOpReluF32, {s, s}, {0, 0, 0}, s},
      {"softmax_f32 columns", kOpSoftmaxF32, {s, s}, {1, 0, 0, 0}, s},
      {"softmax_i16_to_q31 rows", kOpSoftmaxI16ToQ31, {s, s}, {0, 1, 0, 0}, s},
      {"standardize_i16 rows", kOpStandardizeI16, {s, s, s, s}, {0, 1, 0, 0}, s},
      {"sum_rows columns", kOpSumRowsI16ToF32, {s, s}, {1, 0, 0, 0}, s},
  };
  for (const Case &c : cases) {
    for (TensorBuffer *t : run(c.opcode, c.tensors, c.immediates))
      EXPECT_EQ(bytes_of(t), s) << c.name;
  }
}

TEST_F(ReferenceOperatorTest, LstmCell) {
  // z <= -8192 gives z' = 11: cell = (cell * 32756 + 2^14) >> 15, and the
  // u term (11 u' + 2^19) >> 20 is 0 whatever u is.
  for (int16_t z : {-8192, -32768}) {
    for (int16_t u : {-32768, 32767}) {
      const auto t = run(kOpLstmCellI16,
                         {i16({9, 9, 9, 9, 9}), i16({1024, 2000, -2000, 32767, -32768}),
                          i16({z, z, z, z, z, u, u, u, u, u, 8128, 8128, 8128, 8128, 8128})},
                         {5, 0, 0, 0});
      const std::initializer_list<int16_t> kept = {1024, 1999, -1999, 32755, -32756};
      EXPECT_EQ(bytes_of(t[1]), i16(kept)) << z << " " << u;
      std::vector<int16_t> h;
      for (int16_t c : kept)
        h.push_back(static_cast<int16_t>((tanh_q15(c) * 32755 + 524288) >> 20));
      EXPECT_EQ(bytes_of(t[0]), Bytes(reinterpret_cast<uint8_t *>(h.data()),
                                      reinterpret_cast<uint8_t *>(h.data() + h.size())));
    }
  }
  // By hand: z' = 16384, u' = tanh(0.5) = 15142, o' = 16384, cell 2048:
  // (2048 * 16383 + 2^14) >> 15 = 1024, (16384 * 15142 + 2^19) >> 20 = 237;
  // h = (tanh_q15(1261) * 16384 + 2^19) >> 20 = (27618 * 16384 + 2^19) >> 20.
  const auto t = run(kOpLstmCellI16, {i16({9}), i16({2048}), i16({0, 512, 0})}, {1, 0, 0, 0});
  EXPECT_EQ(bytes_of(t[1]), i16({1261}));
  EXPECT_EQ(bytes_of(t[0]), i16({432}));
  // h and the cell in one tensor (cell at byte 4, h right behind it) give
  // what separate tensors give.
  const Bytes gates =
      i16({-3000, 0, 2000, 8128, -8192, 100, -4000, 32767, 0, 700, 0, 5000, -5000, -32768, 32767});
  const auto apart =
      run(kOpLstmCellI16, {i16({9, 9, 9, 9, 9}), i16({0, 1024, -3000, 20000, -32768}), gates},
          {5, 0, 0, 0});
  const auto shared =
      run(kOpLstmCellI16, {i16({7, 7, 0, 1024, -3000, 20000, -32768, 9, 9, 9, 9, 9}), {}, gates},
          {5, 14, 4, 0});
  Bytes expected = i16({7, 7});
  for (TensorBuffer *part : {apart[1], apart[0]}) {
    const Bytes b = bytes_of(part);
    expected.insert(expected.end(), b.begin(), b.end());
  }
  EXPECT_EQ(bytes_of(shared[0]), expected);
}

// The float operators are defined by single-precision formulas in a fixed
// order; a sweep of inputs pins every bit.
TEST_F(ReferenceOperatorTest, FloatOperatorsFollowTheirFormulasBitForBit) {
  std::vector<float> x;
  for (int i = -640; i <= 640; ++i) x.push_back(static_cast<float>(i) / 64.0f + 0.001f * (i % 7));
  const int32_t n = static_cast<int32_t>(x.size());
  const Bytes input(reinterpret_cast<uint8_t *>(x.data()),
                    reinterpret_cast<uint8_t *>(x.data() + n));
  const Bytes output(input.size(), 0);
  const auto gelu = run(kOpGeluF32, {output, input}, {n, 0, 0});
  const auto softmax = run(kOpSoftmaxF32, {output, input}, {1, n, 0, 0});
  const float *g = static_cast<const float *>(gelu[0]->data);
  const float *s = static_cast<const float *>(softmax[0]->data);
  float sum = 0.0f;
  for (int32_t i = 0; i < n; ++i) sum += std::exp(x[i] - x[n - 1]);  // x[n - 1] is the largest
  for (int32_t i = 0; i < n; ++i) {
    const float d = 1.702f * x[i];
    const float t = std::exp(d);
    const float expected = d >= 0.0f ? x[i] / (std::exp(-d) + 1.0f) : t / (t + 1.0f) * x[i];
    ASSERT_EQ(bits(g[i]), bits(expected)) << "gelu " << x[i];
    ASSERT_EQ(bits(s[i]), bits((1.0f / sum) * std::exp(x[i] - x[n - 1]))) << "softmax " << i;
  }
}

// ---- Map modes and operand checks, through a recording map/unmap ------------

struct MapEvent {
  TensorBuffer *tensor;
  bool is_map;
  int32_t mode_or_written;
};
std::vector<MapEvent> g_events;
MapFn g_cpu_map;
UnmapFn g_cpu_unmap;

class MapRecordingTest : public ReferenceOperatorTest {
 protected:
  void SetUp() override {
    ReferenceOperatorTest::SetUp();
    OperationTable &table = operation_table();
    g_cpu_map = table.map[kDeviceCpu];
    g_cpu_unmap = table.unmap[kDeviceCpu];
    table.map[kDeviceCpu] = [](void *backend, TensorBuffer *tensor, int32_t mode) {
      g_events.push_back({tensor, true, mode});
      return g_cpu_map(backend, tensor, mode);
    };
    table.unmap[kDeviceCpu] = [](void *backend, TensorBuffer *tensor, int32_t written) {
      g_events.push_back({tensor, false, written});
      g_cpu_unmap(backend, tensor, written);
    };
    g_events.clear();
  }
  void TearDown() override {
    operation_table().map[kDeviceCpu] = g_cpu_map;
    operation_table().unmap[kDeviceCpu] = g_cpu_unmap;
    ReferenceOperatorTest::TearDown();
  }
};

// Per operand: read (mode 1, unmapped unchanged), written only (mode 0,
// unmapped as written), or both (mode 1, unmapped as written).
enum Use { R, W, RW };

TEST_F(MapRecordingTest, EachOperandIsMappedOnceInItsMode) {
  const struct {
    Opcode opcode;
    std::vector<int32_t> immediates;
    std::vector<Use> uses;
  } cases[] = {
      {kOpAddF32, {2, 0, 0, 0}, {W, R, R}},
      {kOpAddI16, {2, 0, 0, 0}, {W, R, R}},
      {kOpDenseAccI8, {1, 2, 2, 0, 0}, {RW, R, R, R}},
      {kOpDenseI8, {1, 2, 2, 0, 0}, {W, R, R, R}},
      {kOpGeluF32, {2, 0, 0}, {W, R}},
      {kOpNormalizeF32ToI16, {bits(1e-5f), 2, 2}, {W, R}},
      {kOpLstmCellI16, {2, 0, 0, 0}, {W, RW, R}},
      {kOpMatmulF32, {1, 2, 2, 0, 0, 0}, {W, R, R}},
      {kOpCopyBytes, {4, 0, 0}, {RW, R}},  // only part of the destination changes
      {kOpZeroBytes, {4, 0}, {W}},
      {kOpReluF32, {2, 0, 0}, {W, R}},
      {kOpSoftmaxF32, {1, 2, 0, 0}, {W, R}},
      {kOpSoftmaxI16ToQ31, {1, 2, 0, 0}, {W, R}},
      {kOpStandardizeI16, {1, 2, 0, 0}, {W, R, R, R}},
      {kOpSumRowsI16ToF32, {1, 2, 0, 0}, {W, R}},
  };
  for (const auto &c : cases) {
    g_events.clear();
    const auto t = run(c.opcode, std::vector<Bytes>(c.uses.size(), Bytes(64, 0)), c.immediates);
    for (size_t i = 0; i < t.size(); ++i) {
      std::vector<MapEvent> mine;
      for (const MapEvent &e : g_events) {
        if (e.tensor == t[i]) mine.push_back(e);
      }
      ASSERT_EQ(mine.size(), 2u) << "opcode " << c.opcode << " operand " << i;
      EXPECT_TRUE(mine[0].is_map && !mine[1].is_map) << "opcode " << c.opcode;
      EXPECT_EQ(mine[0].mode_or_written, c.uses[i] == W ? kMapWrite : kMapRead)
          << "opcode " << c.opcode;
      EXPECT_EQ(mine[1].mode_or_written, c.uses[i] == R ? 0 : 1) << "opcode " << c.opcode;
    }
  }
}

// Blocks that would reach outside their 64-byte tensors, or name none, are
// refused with 3 before anything is mapped or touched.
TEST_F(MapRecordingTest, BlocksReachingOutsideTheirTensorsAreRefused) {
  const struct {
    const char *name;
    Opcode opcode;
    std::vector<int32_t> immediates;
  } cases[] = {
      {"count past the end", kOpAddF32, {17, 0, 0, 0}},
      {"offset at the end", kOpAddI16, {1, 0, 64, 0}},
      {"negative offset", kOpAddI16, {1, -2, 0, 0}},
      {"misaligned offset", kOpAddF32, {1, 0, 0, 2}},
      {"x rows", kOpDenseI8, {2, 2, 17, 0, 0}},
      {"weights", kOpDenseAccI8, {1, 9, 8, 0, 0}},
      {"a product past 2^31", kOpDenseI8, {65536, 65536, 1, 0, 0}},
      {"lstm gates", kOpLstmCellI16, {11, 0, 0, 0}},
      {"lstm cell offset", kOpLstmCellI16, {2, 0, 62, 0}},
      {"matmul zeros past the end", kOpMatmulF32, {4, 5, 0, 0, 0, 0}},
      {"copy source", kOpCopyBytes, {8, 0, 60}},
      {"softmax input offset", kOpSoftmaxI16ToQ31, {1, 16, 0, 34}},
      {"sum_rows zeros past the end", kOpSumRowsI16ToF32, {0, 17, 0, 0}},
  };
  for (const auto &c : cases) {
    g_events.clear();
    const size_t count = static_cast<size_t>(kOpcodeDescriptors[c.opcode].tensor_count);
    const auto t = run(c.opcode, std::vector<Bytes>(count, Bytes(64, 0x3C)), c.immediates,
                       QX_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(g_events.empty()) << c.name;
    for (TensorBuffer *tensor : t) EXPECT_EQ(bytes_of(tensor), Bytes(64, 0x3C)) << c.name;
  }
  // A missing tensor, even with nothing to compute.
  const OperandBlock block = make_block(kOpGeluF32, {make_tensor(Bytes(4)), nullptr}, {0, 0, 0});
  EXPECT_EQ(run_operator(context_, kOpGeluF32, &block), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(g_events.empty());
}

}  // namespace
}  // namespace qx
