// Every operator on the emulated Metal device against the reference operator
// on the CPU, on seeded random operands at sizes around the kernels' grid and
// threadgroup edges (16 dense outputs per group, SIMD width 32, 1024 threads
// per group), at offsets, in place and with empty extents. The whole of every
// tensor is compared afterwards, so a write outside the extent shows too.
// Integer results agree bit for bit; float results within the bound the CPU
// kernels are held to (the emulator runs the host's exp and sqrt, a GPU its
// own).
#include <cctype>
#include <cmath>
#include <cstring>
#include <random>

#include "metal_test_support.h"

namespace qx {
namespace {

using metal_testing::Bytes;
using metal_testing::TensorSet;

enum class Compare {
  kExact,
  kFloat,      // float32 elements: |got - want| <= 4e-7 + 4e-6 |want|
  kInt16Near,  // int16 elements from float arithmetic: within 1
};

struct OperatorCase {
  std::string name;
  Opcode opcode;
  std::vector<Bytes> tensors;  // an empty entry after the first: operand 0's tensor again
  std::vector<int32_t> immediates;
  Compare compare = Compare::kExact;
  QxStatus status = QX_STATUS_SUCCESS;
  bool by_reference = false;  // the device kernel declines (3), the reference runs
};

class Operands {
 public:
  explicit Operands(uint32_t seed) : random_(seed) {}
  Bytes i8(size_t n) { return fill<int8_t>(n, -128, 127); }
  Bytes i16(size_t n, int lo = -32768, int hi = 32767) { return fill<int16_t>(n, lo, hi); }
  Bytes f32(size_t n, float scale) {
    std::uniform_real_distribution<float> value(-scale, scale);
    std::vector<float> v(n);
    for (float &x : v) x = value(random_);
    return bytes_of(v);
  }
  template <typename T>
  static Bytes bytes_of(const std::vector<T> &v) {
    Bytes b(v.size() * sizeof(T));
    if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
  }

 private:
  template <typename T>
  Bytes fill(size_t n, int lo, int hi) {
    std::uniform_int_distribution<int> value(lo, hi);
    std::vector<T> v(n);
    for (T &x : v) x = static_cast<T>(value(random_));
    return bytes_of(v);
  }
  std::mt19937 random_;
};

void PrintTo(const OperatorCase &c, std::ostream *out) { *out << c.name; }

int32_t bits_of(float value) {
  int32_t b;
  std::memcpy(&b, &value, sizeof(b));
  return b;
}

std::vector<OperatorCase> operator_cases() {
  std::vector<OperatorCase> cases;
  Operands r(20261210);
  auto add = [&](OperatorCase c) { cases.push_back(std::move(c)); };

  for (int32_t n : {1, 31, 32, 33, 1000}) {
    add({"add_f32 " + std::to_string(n), kOpAddF32,
         {r.f32(n + 2, 100), r.f32(n, 100), r.f32(n + 2, 100)}, {n, 4, 0, 8}, Compare::kFloat});
    add({"add_i16 " + std::to_string(n), kOpAddI16,
         {r.i16(n), r.i16(n + 1), r.i16(n)}, {n, 0, 2, 0}});
    add({"relu_f32 " + std::to_string(n), kOpReluF32, {r.f32(n, 1), r.f32(n, 1)}, {n, 0, 0},
         Compare::kFloat});
    add({"gelu_f32 " + std::to_string(n), kOpGeluF32, {r.f32(n, 1), r.f32(n + 1, 12)},
         {n, 0, 4}, Compare::kFloat});
  }
  add({"add_i16 in place", kOpAddI16, {r.i16(8), {}, r.i16(8)}, {6, 4, 4, 0}});
  add({"relu_f32 of -0 and NaN-free extremes", kOpReluF32,
       {r.f32(4, 1), Operands::bytes_of(std::vector<float>{-0.0f, 0.0f, -3e38f, 3e38f})},
       {4, 0, 0}, Compare::kExact});

  struct Dense { int32_t rows, outputs, inputs; };
  for (Dense d : {Dense{1, 1, 1}, Dense{1, 15, 7}, Dense{2, 16, 64}, Dense{3, 17, 33},
                  Dense{2, 40, 130}}) {
    const std::string shape = std::to_string(d.rows) + "x" + std::to_string(d.outputs) + "x" +
                              std::to_string(d.inputs);
    for (Opcode op : {kOpDenseI8, kOpDenseAccI8}) {
      add({(op == kOpDenseI8 ? "dense_i8 " : "dense_acc_i8 ") + shape, op,
           // Inputs small enough that most sums stay clear of saturation.
           {r.i16(d.rows * d.outputs + 3), r.i16(d.rows * d.inputs + 1, -256, 256),
            r.i8(d.outputs * d.inputs),
            r.i8(d.outputs)},
           {d.rows, d.outputs, d.inputs, 6, 2}});
    }
  }

  for (int32_t n : {1, 33, 100}) {
    add({"lstm_cell_i16 " + std::to_string(n), kOpLstmCellI16,
         {r.i16(n), r.i16(n + 2), r.i16(3 * n, -12000, 12000)}, {n, 0, 4, 0}});
  }
  add({"lstm_cell_i16 h and cell in one tensor", kOpLstmCellI16,
       {r.i16(20), {}, r.i16(30)}, {10, 0, 20, 0}});

  struct Matmul { int32_t m, n, k; };
  for (Matmul s : {Matmul{1, 1, 1}, Matmul{3, 5, 7}, Matmul{2, 9, 0}, Matmul{4, 33, 64}}) {
    add({"matmul_f32 " + std::to_string(s.m) + "x" + std::to_string(s.n) + "x" +
             std::to_string(s.k),
         kOpMatmulF32, {r.f32(s.m * s.n + 1, 1), r.f32(s.m * s.k + 2, 1), r.f32(s.n * s.k, 1)},
         {s.m, s.n, s.k, 4, 8, 0}, Compare::kFloat});
  }

  struct Matrix { int32_t rows, columns; };
  for (Matrix s : {Matrix{1, 1}, Matrix{3, 7}, Matrix{2, 1500}}) {
    const std::string shape = std::to_string(s.rows) + "x" + std::to_string(s.columns);
    const int32_t n = s.rows * s.columns;
    add({"softmax_f32 " + shape, kOpSoftmaxF32, {r.f32(n, 1), r.f32(n, 20)},
         {s.rows, s.columns, 0, 0}, Compare::kFloat});
    add({"softmax_i16_to_q31 " + shape, kOpSoftmaxI16ToQ31,
         {r.i16(2 * n), r.i16(n + 1)}, {s.rows, s.columns, 0, 2}});
  }
  add({"softmax_f32 in place", kOpSoftmaxF32, {r.f32(12, 5), {}}, {3, 4, 0, 0}, Compare::kFloat});
  add({"softmax_i16_to_q31 of two values 16383 apart", kOpSoftmaxI16ToQ31,
       {r.i16(4), Operands::bytes_of(std::vector<int16_t>{16383, 0})}, {1, 2, 0, 0}});

  for (Matrix s : {Matrix{1, 1}, Matrix{5, 3}, Matrix{50, 40}}) {
    const std::string shape = std::to_string(s.rows) + "x" + std::to_string(s.columns);
    const int32_t n = s.rows * s.columns;
    add({"normalize_f32_to_i16 " + shape, kOpNormalizeF32ToI16, {r.i16(n), r.f32(n, 4)},
         {bits_of(1e-5f), s.rows, s.columns}, Compare::kInt16Near});
    add({"standardize_i16 " + shape, kOpStandardizeI16,
         {r.i16(n), r.i16(n), r.i16(s.columns), r.i16(s.columns, -4096, 4096)},
         {s.rows, s.columns, 0, 0}});
    add({"sum_rows_i16_to_f32 " + shape, kOpSumRowsI16ToF32, {r.f32(s.columns + 1, 1), r.i16(n)},
         {s.rows, s.columns, 4, 0}, Compare::kFloat});
  }
  add({"standardize_i16 in place", kOpStandardizeI16, {r.i16(12), {}, r.i16(4), r.i16(4)},
       {3, 4, 0, 0}});
  add({"sum_rows_i16_to_f32 of no rows writes zeros", kOpSumRowsI16ToF32, {r.f32(5, 1), r.i16(4)},
       {0, 5, 0, 0}, Compare::kExact});

  add({"copy_bytes by blit", kOpCopyBytes, {r.i8(64), r.i8(64)}, {16, 4, 8}});
  add({"copy_bytes unaligned, by the reference", kOpCopyBytes, {r.i8(64), r.i8(64)}, {5, 1, 3},
       Compare::kExact, QX_STATUS_SUCCESS, true});
  add({"copy_bytes overlapping in one tensor", kOpCopyBytes, {r.i8(64), {}}, {32, 4, 0},
       Compare::kExact, QX_STATUS_SUCCESS, true});
  add({"zero_bytes by blit", kOpZeroBytes, {r.i8(64)}, {40, 12}});
  add({"zero_bytes unaligned, by the reference", kOpZeroBytes, {r.i8(64)}, {7, 3}, Compare::kExact,
       QX_STATUS_SUCCESS, true});

  // Empty extents write nothing; negative counts are empty too.
  add({"add_f32 of 0", kOpAddF32, {r.f32(4, 1), r.f32(4, 1), r.f32(4, 1)}, {0, 0, 0, 0}});
  add({"dense_i8 with no inputs", kOpDenseI8, {r.i16(4), r.i16(4), r.i8(4), r.i8(4)},
       {1, 4, 0, 0, 0}});
  add({"lstm_cell_i16 of width -1", kOpLstmCellI16, {r.i16(4), r.i16(4), r.i16(12)},
       {-1, 0, 0, 0}});
  add({"softmax_f32 of 0 columns", kOpSoftmaxF32, {r.f32(4, 1), r.f32(4, 1)}, {2, 0, 0, 0}});
  add({"matmul_f32 of no rows", kOpMatmulF32, {r.f32(4, 1), r.f32(4, 1), r.f32(4, 1)},
       {0, 2, 2, 0, 0, 0}});
  add({"copy_bytes of 0", kOpCopyBytes, {r.i8(8), r.i8(8)}, {0, 0, 0}});

  // Operands outside their tensors: the kernel declines, the reference refuses.
  add({"add_f32 beyond the output", kOpAddF32, {r.f32(4, 1), r.f32(8, 1), r.f32(8, 1)},
       {5, 0, 0, 0}, Compare::kExact, QX_STATUS_INVALID_ARGUMENT});
  add({"dense_i8 weights too short", kOpDenseI8, {r.i16(4), r.i16(4), r.i8(15), r.i8(4)},
       {1, 4, 4, 0, 0}, Compare::kExact, QX_STATUS_INVALID_ARGUMENT});
  add({"gelu_f32 misaligned offset", kOpGeluF32, {r.f32(4, 1), r.f32(4, 1)}, {2, 2, 0},
       Compare::kExact, QX_STATUS_INVALID_ARGUMENT});
  add({"zero_bytes negative offset", kOpZeroBytes, {r.i8(8)}, {4, -4}, Compare::kExact,
       QX_STATUS_INVALID_ARGUMENT});
  return cases;
}

void expect_same(const Bytes &got, const Bytes &want, Compare compare, size_t tensor) {
  ASSERT_EQ(got.size(), want.size()) << "tensor " << tensor;
  if (compare == Compare::kExact) {
    EXPECT_EQ(got, want) << "tensor " << tensor;
    return;
  }
  if (compare == Compare::kFloat && got.size() % 4 == 0) {
    for (size_t i = 0; i < got.size() / 4; ++i) {
      float g, w;
      std::memcpy(&g, &got[4 * i], 4);
      std::memcpy(&w, &want[4 * i], 4);
      if (std::memcmp(&g, &w, 4) == 0) continue;
      EXPECT_NEAR(g, w, 4e-7f + 4e-6f * std::fabs(w)) << "tensor " << tensor << " element " << i;
    }
    return;
  }
  if (compare == Compare::kInt16Near && got.size() % 2 == 0) {
    for (size_t i = 0; i < got.size() / 2; ++i) {
      int16_t g, w;
      std::memcpy(&g, &got[2 * i], 2);
      std::memcpy(&w, &want[2 * i], 2);
      EXPECT_LE(std::abs(g - w), 1) << "tensor " << tensor << " element " << i;
    }
    return;
  }
  EXPECT_EQ(got, want) << "tensor " << tensor;  // an integer operand of a float operator
}

class MetalOperatorTest : public metal_testing::MetalContextTest,
                          public ::testing::WithParamInterface<OperatorCase> {};

TEST_P(MetalOperatorTest, AgreesWithTheReference) {
  const OperatorCase &c = GetParam();
  TensorSet on_gpu(gpu_), on_cpu(cpu_);
  std::vector<TensorBuffer *> gpu_tensors, cpu_tensors;
  for (const Bytes &bytes : c.tensors) {
    const bool again = bytes.empty() && !gpu_tensors.empty();
    gpu_tensors.push_back(again ? gpu_tensors[0] : on_gpu.make(bytes));
    cpu_tensors.push_back(again ? cpu_tensors[0] : on_cpu.make(bytes));
  }
  const OperandBlock gpu_block = testing_support::make_block(c.opcode, gpu_tensors, c.immediates);
  const OperandBlock cpu_block = testing_support::make_block(c.opcode, cpu_tensors, c.immediates);
  // Unless the case expects the fallback, the device kernel alone must do
  // the work: the reference operator is out of the table meanwhile.
  ReferenceOpFn &reference = operation_table().reference_op[c.opcode];
  const ReferenceOpFn saved = reference;
  if (!c.by_reference && c.status == QX_STATUS_SUCCESS) reference = nullptr;
  EXPECT_EQ(run_operator(gpu_, c.opcode, &gpu_block), c.status);
  reference = saved;
  EXPECT_EQ(run_operator(cpu_, c.opcode, &cpu_block), c.status);
  for (size_t i = 0; i < c.tensors.size(); ++i) {
    // Float operators' integer inputs (and outputs of integer type) are exact.
    const bool float_tensor = c.compare != Compare::kFloat ||
                              !(c.opcode == kOpSumRowsI16ToF32 && i == 1);
    expect_same(on_gpu.read(gpu_tensors[i]), on_cpu.read(cpu_tensors[i]),
                float_tensor ? c.compare : Compare::kExact, i);
  }
}

std::string case_name(const ::testing::TestParamInfo<OperatorCase> &info) {
  std::string name;
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(EveryOperator, MetalOperatorTest, ::testing::ValuesIn(operator_cases()),
                         case_name);

}  // namespace
}  // namespace qx
