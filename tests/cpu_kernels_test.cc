// The CPU kernels against the reference operators: one parameterized suite
// over feature bits {0, 1, 4, 5, and the dense layers' AVX-VNNI and AVX-512
// variants} (x86) or {0, 16} (32-bit ARM) x thread
// counts {1, 2, 3, 4} (2 and more on a real pool, every call on it), each operator over a table of shapes that
// reach every variant and tail. Integer operators must match bit for bit;
// the float ones must follow their documented summation orders exactly
// (checked against scalar models of them) and stay close to the reference.
//
// Operands sit at the end of their tensors, so an overread or overrun leaves
// the allocation (the sanitizer builds catch it), behind a guard of known
// bytes where the operator takes an offset (an underrun changes it).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cpu/cpu_backend.h"
#include "devices/device_selection.h"
#include "cpu/kernel_plan.h"
#if defined(QX_X86_KERNELS)
#include "cpu/x86/x86_kernels.h"
#elif defined(QX_ARM_KERNELS)
#include "cpu/arm/arm_kernels.h"
#endif
#include "cpu/thread_pool.h"
#include "platform/platform.h"
#include "runtime/device_context.h"
#include "runtime/operation_table.h"

namespace qx {
namespace {

constexpr int32_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA5;

float from_bits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}
uint32_t bits_of(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// ---- Operands ------------------------------------------------------------------------------

// One tensor operand: `guard` bytes of kGuardByte, then the element bytes,
// which end the tensor.
struct Operand {
  std::vector<uint8_t> bytes;
  int32_t guard = 0;
};

template <typename T>
Operand operand(const std::vector<T> &values, bool guarded) {
  Operand made;
  made.guard = guarded ? kGuardBytes : 0;
  made.bytes.assign(static_cast<size_t>(made.guard), kGuardByte);
  const auto *raw = reinterpret_cast<const uint8_t *>(values.data());
  made.bytes.insert(made.bytes.end(), raw, raw + values.size() * sizeof(T));
  return made;
}

template <typename T>
std::vector<T> values_of(const Operand &o) {
  std::vector<T> values((o.bytes.size() - static_cast<size_t>(o.guard)) / sizeof(T));
  if (!values.empty())
    std::memcpy(values.data(), o.bytes.data() + o.guard, values.size() * sizeof(T));
  return values;
}

// Seeded operands; a cheap generator, since some operands are large.
struct Random {
  uint64_t state;
  explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15u + 1) {}
  uint32_t next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 32);
  }
  std::vector<int16_t> i16(size_t n, int low = -32768, int high = 32767) {
    const uint64_t range = static_cast<uint64_t>(high - low) + 1;
    std::vector<int16_t> v(n);
    for (auto &e : v) e = static_cast<int16_t>(low + static_cast<int64_t>(next() % range));
    return v;
  }
  std::vector<int8_t> i8(size_t n) {
    std::vector<int8_t> v(n);
    for (auto &e : v) e = static_cast<int8_t>(next());
    return v;
  }
  // Roughly normal with deviation `spread` (sum of four uniforms).
  std::vector<float> f32(size_t n, float spread) {
    std::vector<float> v(n);
    for (auto &e : v) {
      const float sum = static_cast<float>(next() % 65536) + static_cast<float>(next() % 65536) +
                        static_cast<float>(next() % 65536) + static_cast<float>(next() % 65536);
      e = (sum / 65536.0f - 2.0f) * 1.7320508f * spread;
    }
    return v;
  }
};

// An operator call: operands, immediates, and which operand (if any) is the
// same tensor as operand 0 (in-place calls).
struct Call {
  Opcode opcode;
  std::vector<Operand> operands;
  std::vector<int32_t> immediates;
  int output_is = -1;
};

// Runs `call` on fresh CPU tensors through `op` and returns every operand's
// bytes afterwards (an aliased output is reported under both operands).
template <typename Op>
std::vector<Operand> run_call(DeviceContext *context, const Call &call, QxStatus expected, Op op) {
  std::vector<TensorBuffer *> tensors;
  for (const Operand &o : call.operands) {
    TensorBuffer *t = tensor_alloc(context, static_cast<int32_t>(o.bytes.size()), 0);
    if (!o.bytes.empty()) std::memcpy(t->data, o.bytes.data(), o.bytes.size());
    tensors.push_back(t);
  }
  std::vector<TensorBuffer *> used = tensors;
  if (call.output_is >= 0) used[0] = tensors[static_cast<size_t>(call.output_is)];
  OperandBlock block{};
  for (size_t i = 0; i < used.size(); ++i) block.set_tensor(static_cast<int>(i), used[i]);
  for (size_t i = 0; i < call.immediates.size(); ++i) {
    block.set_immediate(static_cast<int>(used.size()), static_cast<int>(i), call.immediates[i]);
  }
  EXPECT_EQ(op(&block), expected);
  std::vector<Operand> after = call.operands;
  for (size_t i = 0; i < used.size(); ++i) {
    const auto *data = static_cast<const uint8_t *>(used[i]->data);
    after[i].bytes.assign(data, data + used[i]->size);
  }
  for (TensorBuffer *t : tensors) tensor_free(context, t);
  return after;
}

// ---- Scalar models of the float kernels' orders ----------------------------------------------

// One correctly rounded fused multiply-add. mingw-w64's fmaf rounds twice, so
// the Windows build takes the processor's instruction (the fused variants
// run only where it exists).
#if defined(_WIN32)
__attribute__((target("fma"))) float fused_mul_add(float a, float b, float c) {
  return __builtin_fmaf(a, b, c);
}
#else
float fused_mul_add(float a, float b, float c) { return std::fma(a, b, c); }
#endif

// The vector exponential, one lane: fused steps by fmaf (AVX2) or as a
// separate multiply and add (SSE4.1, NEON).
float model_exp(float y, bool fused) {
  auto mul_add = [fused](float a, float b, float c) {
    return fused ? fused_mul_add(a, b, c) : a * b + c;
  };
  const float t = mul_add(y, 1.442695f, 12582912.0f);
  const float n = t - 12582912.0f;
  float r = mul_add(-n, 0.69314575f, y);
  r = mul_add(-n, 1.4286068e-6f, r);
  const float r2 = r * r;
  const float high = mul_add(r, 0.00824739f, 0.041899767f);
  const float low = mul_add(r, 0.16668396f, 0.49999127f);
  const float p = mul_add(r2, mul_add(r2, high, low), r * 0.9999994f);
  const uint32_t e = bits_of(t) << 23;
  const float s = from_bits(e + bits_of(1.0f));
  if (!(std::fabs(n) > 126.0f)) return mul_add(s, p, s);
  const uint32_t offset = n <= 0.0f ? 0x82000000u : 0u;
  const float b = from_bits(offset + 0x7f000000u);
  if (std::fabs(n) > 192.0f) return b * b;
  const float s_prime = from_bits(e - offset);
  return mul_add(s_prime, p, s_prime) * b;
}

// softmax_f32's vector variants on `lanes` lanes.
std::vector<float> model_softmax_f32(const std::vector<float> &x, int rows, int cols, int lanes) {
  std::vector<float> out(x.size());
  for (int r = 0; r < rows; ++r) {
    const float *row = x.data() + static_cast<size_t>(r) * cols;
    float *o = out.data() + static_cast<size_t>(r) * cols;
    float m = row[0];
    for (int j = 1; j < cols; ++j) m = std::fmax(m, row[j]);
    float lane_sum[8] = {};
    for (int j = 0; j < cols; ++j) {
      o[j] = model_exp(row[j] - m, lanes == 8);
      lane_sum[j % lanes] += o[j];
    }
    if (lanes == 8) {
      for (int i = 0; i < 4; ++i) lane_sum[i] = lane_sum[i + 4] + lane_sum[i];
    }
    const float sum = (lane_sum[0] + lane_sum[1]) + (lane_sum[2] + lane_sum[3]);
    for (int j = 0; j < cols; ++j) o[j] = o[j] * (1.0f / sum);
  }
  return out;
}

// matmul_f32's fused variant: four 8-lane accumulators, fixed reduction.
float model_fused_dot(const float *x, const float *w, int k) {
  float acc[4][8] = {};
  for (int t = 0; t < k / 32; ++t) {
    for (int b = 0; b < 4; ++b) {
      for (int j = 0; j < 8; ++j) {
        const int i = 32 * t + 8 * b + j;
        acc[b][j] = fused_mul_add(x[i], w[i], acc[b][j]);
      }
    }
  }
  float g[8], h[4];
  for (int j = 0; j < 8; ++j) g[j] = (acc[2][j] + acc[3][j]) + (acc[0][j] + acc[1][j]);
  for (int j = 0; j < 4; ++j) h[j] = g[j + 4] + g[j];
  return (h[0] + h[1]) + (h[2] + h[3]);
}

// ---- The suite --------------------------------------------------------------------------------

struct Variant {
  uint32_t isa_flags;
  int32_t threads;
};

std::string variant_name(const ::testing::TestParamInfo<Variant> &info) {
  return "isa" + std::to_string(info.param.isa_flags) + "_threads" +
         std::to_string(info.param.threads);
}

class KernelVsReference : public ::testing::TestWithParam<Variant> {
 public:
  void SetUp() override {
    const uint32_t wanted = GetParam().isa_flags;
    if ((wanted & ~usable_isa_flags(platform::detect_isa_flags())) != 0) {
      GTEST_SKIP() << "the processor lacks feature bits " << wanted;
    }
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context_), QX_STATUS_SUCCESS);
    backend_.thread_count = GetParam().threads;
    backend_.isa_flags = wanted;
    backend_.kernels = cpu_kernel_set(wanted);
    backend_.pool = nullptr;
    if (backend_.thread_count >= 2) {
      ASSERT_EQ(thread_pool_create(static_cast<uint32_t>(backend_.thread_count), &backend_.pool),
                QX_STATUS_SUCCESS);
    }
    saved_threshold_ = kernel_testing::set_parallel_threshold(0);
  }
  void TearDown() override {
    kernel_testing::set_parallel_threshold(saved_threshold_);
    thread_pool_destroy(backend_.pool);
    if (context_) release_device_context(context_);
  }

  KernelThreads threads() const { return kernel_threads(backend_, ~uint64_t{0}); }

  // The kernel's and the reference's operands after the call.
  std::pair<std::vector<Operand>, std::vector<Operand>> run_both(const Call &call) {
    const OperationTable &table = operation_table();
    DeviceOpFn kernel = table.device_op[call.opcode][kDeviceCpu];
    ReferenceOpFn reference = table.reference_op[call.opcode];
    EXPECT_NE(kernel, nullptr);
    auto by_kernel = run_call(context_, call, QX_STATUS_SUCCESS, [&](const OperandBlock *block) {
      return kernel(&backend_, nullptr, block);
    });
    auto by_reference = run_call(context_, call, QX_STATUS_SUCCESS, [&](const OperandBlock *block) {
      return reference(context_, block);
    });
    return {by_kernel, by_reference};
  }

  // Integer operators: every byte of every operand, guards and inputs included.
  void expect_identical(const Call &call) {
    const auto results = run_both(call);
    for (size_t i = 0; i < call.operands.size(); ++i) {
      EXPECT_EQ(results.first[i].bytes, results.second[i].bytes) << "operand " << i;
    }
  }

  DeviceContext *context_ = nullptr;
  CpuBackend backend_{};
  uint64_t saved_threshold_ = 0;
};

TEST_P(KernelVsReference, AddF32) {
  Random random(1);
  // Lengths below, at and above the 4- and 8-lane steps; 300000 elements make
  // two items of 150000 on a pool, 300001 two of different lengths (150000
  // takes the vector loop, 150001 the plain one).
  for (int32_t count : {1, 3, 4, 7, 8, 13, 32, 300000, 300001}) {
    for (const bool in_place : {false, true}) {
      if (in_place && count > 1000) continue;  // large counts once
      SCOPED_TRACE(::testing::Message() << "count " << count << (in_place ? " in place" : ""));
      const Call call{
          kOpAddF32,
          {operand(random.f32(count, 100.0f), true), operand(random.f32(count, 100.0f), true),
           operand(random.f32(count, 100.0f), true)},
          {count, kGuardBytes, kGuardBytes, kGuardBytes},
          in_place ? 1 : -1};
      expect_identical(call);  // element-wise: every variant rounds as the plain loop
    }
  }
}

TEST_P(KernelVsReference, AddI16) {
  Random random(2);
  // 262160 elements make two items of 131080, a multiple of 8 but not 16.
  for (int32_t count : {1, 7, 8, 15, 16, 33, 262160, 300001}) {
    for (const bool in_place : {false, true}) {
      if (in_place && count > 1000) continue;  // large counts once
      SCOPED_TRACE(::testing::Message() << "count " << count << (in_place ? " in place" : ""));
      const Call call{kOpAddI16,
                      {operand(random.i16(count), true), operand(random.i16(count), true),
                       operand(random.i16(count), true)},
                      {count, kGuardBytes, kGuardBytes, kGuardBytes},
                      in_place ? 1 : -1};
      expect_identical(call);  // full-range values: both saturation bounds
    }
  }
}

// Shapes for both dense operators: single rows with pairs in groups of four
// and left over, odd outputs, one output, inputs shorter than a step or not a
// multiple of 8, 16 or 32 (one below, at and above the 512-bit step), around
// the length from which 512-bit variants take over, the classifier's,
// several rows, 600 inputs whose sums wrap 32 bits, and 8800
// inputs whose every 32-bit lane passes 2^31 on the way (a saturating
// accumulation would stop there).
struct DenseShape {
  int32_t rows, n_out, n_in;
};
const DenseShape kDenseShapes[] = {
    {1, 240, 80}, {1, 288, 176}, {1, 384, 208}, {1, 7, 80}, {1, 1, 5},   {1, 2, 3},
    {1, 10, 23},  {1, 33, 64},   {1, 32, 40},   {1, 16, 31}, {1, 18, 32}, {1, 6, 33},
    {1, 8, 63},   {1, 12, 65},   {1, 9, 600},   {1, 10, 8800}, {3, 5, 17}, {4, 16, 48},
    {2, 1, 16},   {5, 31, 9},    {2, 3, 47},
    // Around the 512-bit variants' threshold (112 inputs) and step.
    {1, 6, 111},  {1, 6, 112},   {1, 8, 128},   {1, 10, 129}, {1, 16, 159}, {3, 5, 113},
    {2, 9, 160},
};

void dense_cases(KernelVsReference *test, Opcode opcode) {
  Random random(3);
  for (const DenseShape &s : kDenseShapes) {
    SCOPED_TRACE(::testing::Message() << s.rows << " x " << s.n_out << " x " << s.n_in);
    const size_t cells = static_cast<size_t>(s.rows) * s.n_out;
    // Large weights and inputs, so that sums wrap and outputs saturate.
    const bool wrap = s.n_in >= 512;
    const Call call{
        opcode,
        {operand(random.i16(cells), true),
         operand(wrap ? std::vector<int16_t>(static_cast<size_t>(s.rows) * s.n_in, -32768)
                      : random.i16(static_cast<size_t>(s.rows) * s.n_in),
                 true),
         operand(wrap ? std::vector<int8_t>(static_cast<size_t>(s.n_out) * s.n_in, -128)
                      : random.i8(static_cast<size_t>(s.n_out) * s.n_in),
                 false),
         operand(random.i8(static_cast<size_t>(s.n_out)), false)},
        {s.rows, s.n_out, s.n_in, kGuardBytes, kGuardBytes}};
    test->expect_identical(call);
  }
}

TEST_P(KernelVsReference, DenseI8) { dense_cases(this, kOpDenseI8); }
TEST_P(KernelVsReference, DenseAccI8) { dense_cases(this, kOpDenseAccI8); }

// Single rows whose inputs and weights sit at the byte boundaries the byte
// variant splits x at (x = 256 hi + lo): both int16 extremes, -1 and 255
// (low byte 255 under high bytes -1 and 0), -256 (low byte 0), against
// both int8 extremes, so that every product, the high bytes' correction
// and the sums reach their extremes and wrap; lengths at, around and past
// the longest row it splits (2048) and one below the 64-input step.
void dense_byte_cases(KernelVsReference *test, Opcode opcode) {
  Random random(7);
  using Pattern = int32_t (*)(int32_t k);
  const struct {
    const char *what;
    Pattern x, w;
  } patterns[] = {
      {"x -32768, w -128", [](int32_t) { return -32768; }, [](int32_t) { return -128; }},
      {"x 32767, w 127", [](int32_t) { return 32767; }, [](int32_t) { return 127; }},
      {"x 32767, w -128", [](int32_t) { return 32767; }, [](int32_t) { return -128; }},
      {"x -32768 / 32767, w -128 / 127", [](int32_t k) { return k % 2 ? 32767 : -32768; },
       [](int32_t k) { return k % 3 ? -128 : 127; }},
      {"x -1, 255, -256, w 127 / -128",
       [](int32_t k) { return k % 3 == 0 ? -1 : k % 3 == 1 ? 255 : -256; },
       [](int32_t k) { return k % 2 ? 127 : -128; }},
  };
  for (const int32_t n_in : {63, 64, 127, 192, 2047, 2048, 2049}) {
    for (const int32_t n_out : {9, 14}) {
      for (const auto &p : patterns) {
        SCOPED_TRACE(::testing::Message() << n_out << " x " << n_in << ", " << p.what);
        std::vector<int16_t> x(static_cast<size_t>(n_in));
        std::vector<int8_t> w(static_cast<size_t>(n_out) * n_in);
        for (int32_t k = 0; k < n_in; ++k) x[k] = static_cast<int16_t>(p.x(k));
        for (size_t i = 0; i < w.size(); ++i) {
          w[i] = static_cast<int8_t>(p.w(static_cast<int32_t>(i)));
        }
        const Call call{opcode,
                        {operand(random.i16(static_cast<size_t>(n_out)), true), operand(x, true),
                         operand(w, false), operand(random.i8(static_cast<size_t>(n_out)), false)},
                        {1, n_out, n_in, kGuardBytes, kGuardBytes}};
        test->expect_identical(call);
      }
    }
  }
}

TEST_P(KernelVsReference, DenseI8ByteBoundaries) { dense_byte_cases(this, kOpDenseI8); }
TEST_P(KernelVsReference, DenseAccI8ByteBoundaries) { dense_byte_cases(this, kOpDenseAccI8); }

TEST_P(KernelVsReference, LstmCellI16) {
  Random random(4);
  // Whole steps of 8, 16 and 32 and tails, masked ones of up to 16 cells and
  // of more (both halves of a 512-bit step); 300 cells on a pool make items
  // of 128, 128 and 44 cells.
  for (int32_t n : {1, 7, 8, 15, 16, 17, 31, 32, 33, 40, 63, 80, 96, 300}) {
    SCOPED_TRACE(::testing::Message() << "n " << n);
    if (n == 300 && threads().pooled) {
      EXPECT_EQ(lstm_item_count(threads(), n), 3u);
    }
    // Full-range gates reach the sigmoid table's clamps on both sides. h may
    // be the cell itself (then h is what remains) or the z gates.
    for (const int h_is : {-1, 1, 2}) {
      SCOPED_TRACE(::testing::Message() << "h is operand " << h_is);
      const Call call{kOpLstmCellI16,
                      {operand(random.i16(n), true), operand(random.i16(n), true),
                       operand(random.i16(3 * static_cast<size_t>(n)), true)},
                      {n, kGuardBytes, kGuardBytes, kGuardBytes},
                      h_is};
      expect_identical(call);
    }
  }
}

// Every int16 value as z, u and o gate input, the cell running through all
// values too, and a cell of 16384 at z = 0, where the kept part
// cell * (32767 - 16384) lies exactly on a rounding boundary.
TEST_P(KernelVsReference, LstmCellI16EveryGateInput) {
  constexpr int32_t n = 65536;
  std::vector<int16_t> cell(n), gates(3 * static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    gates[i] = static_cast<int16_t>(i - 32768);
    gates[n + i] = static_cast<int16_t>(32767 - i);
    gates[2 * n + i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
    cell[i] = static_cast<int16_t>((i * int64_t{40503}) % 65536 - 32768);
  }
  cell[32768] = 16384;
  cell[32769] = -16384;
  const Call call{
      kOpLstmCellI16,
      {operand(std::vector<int16_t>(n, 0), true), operand(cell, true), operand(gates, true)},
      {n, kGuardBytes, kGuardBytes, kGuardBytes}};
  expect_identical(call);
}

TEST_P(KernelVsReference, MatmulF32) {
  Random random(5);
  struct {
    int32_t m, n, k;
  } shapes[] = {{1, 9, 96}, {1, 9, 64}, {5, 17, 128}, {3, 7, 32}, {2, 3, 5}, {4, 5, 48}, {1, 1, 1}};
  const bool fused_available = (GetParam().isa_flags & CPU_AVX2) != 0;
  for (const auto &s : shapes) {
    SCOPED_TRACE(::testing::Message() << s.m << " x " << s.n << " x " << s.k);
    const std::vector<float> x = random.f32(static_cast<size_t>(s.m) * s.k, 1.0f);
    const std::vector<float> w = random.f32(static_cast<size_t>(s.n) * s.k, 1.0f);
    const Call call{kOpMatmulF32,
                    {operand(random.f32(static_cast<size_t>(s.m) * s.n, 1.0f), true),
                     operand(x, true), operand(w, true)},
                    {s.m, s.n, s.k, kGuardBytes, kGuardBytes, kGuardBytes}};
    const auto results = run_both(call);
    const std::vector<float> got = values_of<float>(results.first[0]);
    const std::vector<float> reference = values_of<float>(results.second[0]);
    const bool fused = fused_available && s.k % 32 == 0;
    EXPECT_EQ(
        plan_matmul(threads(), backend_.kernels, s.m, s.n, s.k).kernel == matmul_f32_portable,
        !fused);
    for (int32_t m = 0; m < s.m; ++m) {
      for (int32_t n = 0; n < s.n; ++n) {
        const size_t cell = static_cast<size_t>(m) * s.n + n;
        if (fused) {
          // Exactly the fused order; close to the sequential one.
          EXPECT_EQ(bits_of(got[cell]),
                    bits_of(model_fused_dot(&x[static_cast<size_t>(m) * s.k],
                                            &w[static_cast<size_t>(n) * s.k], s.k)))
              << "cell " << cell;
          EXPECT_NEAR(got[cell], reference[cell], 1e-5f * s.k) << "cell " << cell;
        } else {
          EXPECT_EQ(bits_of(got[cell]), bits_of(reference[cell])) << "cell " << cell;
        }
      }
    }
    EXPECT_EQ(results.first[0].bytes.front(), kGuardByte);
    for (size_t i = 1; i < 3; ++i) EXPECT_EQ(results.first[i].bytes, results.second[i].bytes);
  }
}

TEST_P(KernelVsReference, SoftmaxF32) {
  Random random(6);
  struct {
    int32_t rows, cols;
  } shapes[] = {{1, 9}, {1, 8}, {1, 4}, {3, 16}, {2, 12}, {1, 1}, {5, 3}, {17, 24}};
  const uint32_t flags = GetParam().isa_flags;
  for (const auto &s : shapes) {
    for (bool in_place : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << s.rows << " x " << s.cols << (in_place ? " in place" : ""));
      const size_t count = static_cast<size_t>(s.rows) * s.cols;
      const std::vector<float> x = random.f32(count, 8.0f);
      const Call call{kOpSoftmaxF32,
                      {operand(random.f32(count, 1.0f), true), operand(x, true)},
                      {s.rows, s.cols, kGuardBytes, kGuardBytes},
                      in_place ? 1 : -1};
      const auto results = run_both(call);
      const std::vector<float> got = values_of<float>(results.first[0]);
      const std::vector<float> reference = values_of<float>(results.second[0]);
      const int lanes = (flags & CPU_AVX2) && s.cols % 8 == 0
                            ? 8
                            : ((flags & (CPU_SSE4_1 | CPU_NEON)) && s.cols % 4 == 0 ? 4 : 0);
      const std::vector<float> model =
          lanes ? model_softmax_f32(x, s.rows, s.cols, lanes) : reference;
      for (size_t j = 0; j < count; ++j) {
        if (lanes) {
          EXPECT_EQ(bits_of(got[j]), bits_of(model[j])) << "element " << j;
        }
        EXPECT_NEAR(got[j], reference[j], 4e-7f + 4e-6f * reference[j]) << "element " << j;
      }
      EXPECT_EQ(results.first[0].bytes.front(), kGuardByte);
      EXPECT_EQ(results.first[1].bytes.front(), kGuardByte);
    }
  }
}

TEST_P(KernelVsReference, SoftmaxI16ToQ31) {
  Random random(7);
  struct {
    int32_t rows, cols;
  } shapes[] = {{1, 2}, {1, 16}, {1, 8}, {3, 32}, {2, 24}, {4, 7}, {1, 1}, {6, 48}};
  for (const auto &s : shapes) {
    for (int spread : {4096, 32767}) {  // 32767: differences past 16383, clamped
      SCOPED_TRACE(::testing::Message() << s.rows << " x " << s.cols << " spread " << spread);
      const size_t count = static_cast<size_t>(s.rows) * s.cols;
      const Call call{kOpSoftmaxI16ToQ31,
                      {operand(std::vector<int32_t>(count, 7), true),
                       operand(random.i16(count, -spread - (spread == 32767), spread), true)},
                      {s.rows, s.cols, kGuardBytes, kGuardBytes}};
      expect_identical(call);
    }
  }
}

TEST_P(KernelVsReference, StandardizeI16) {
  Random random(8);
  // Below and above 2048 rows (one item, then rows / 1024 of them on a pool).
  struct {
    int32_t rows, cols;
  } shapes[] = {{2, 40}, {1, 16}, {3, 8}, {5, 7}, {2047, 8}, {2048, 16}, {4100, 24}};
  for (const auto &s : shapes) {
    for (bool in_place : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << s.rows << " x " << s.cols << (in_place ? " in place" : ""));
      const size_t count = static_cast<size_t>(s.rows) * s.cols;
      const Call call{kOpStandardizeI16,
                      {operand(random.i16(count), true), operand(random.i16(count), true),
                       operand(random.i16(static_cast<size_t>(s.cols)), false),
                       operand(random.i16(static_cast<size_t>(s.cols)), false)},
                      {s.rows, s.cols, kGuardBytes, kGuardBytes},
                      in_place ? 1 : -1};
      expect_identical(call);
    }
  }
}

// The vector exponential's ranges through softmax rows whose maximum is 0
// and whose sum rounds to 1, so each output is the exponential itself:
// n = round(y log2 e) below -192 gives exactly 0, -149 < n < -126 a
// subnormal within one unit of e^y, and a row of equal values 1 / cols.
// ARMv7 NEON flushes subnormal results to zero: there those lanes give 0,
// and so does the subnormal product inside the exponential at n = -126.
TEST_P(KernelVsReference, SoftmaxF32ExponentialRanges) {
  const std::vector<float> x = {0.0f, -95.0f, -100.0f, -140.0f, -200.0f, -20.0f, -50.0f, -87.3f,
                                2.5f, 2.5f,   2.5f,    2.5f,    2.5f,    2.5f,   2.5f,   2.5f};
  const Call call{kOpSoftmaxF32,
                  {operand(std::vector<float>(16, 0.0f), true), operand(x, true)},
                  {2, 8, kGuardBytes, kGuardBytes}};
  const auto results = run_both(call);
  const std::vector<float> got = values_of<float>(results.first[0]);
  EXPECT_EQ(got[0], 1.0f);
  const bool flushes_subnormals = (GetParam().isa_flags & CPU_NEON) != 0;
  for (int j : {1, 2}) {  // n = -137 and -144
    if (flushes_subnormals) {
      EXPECT_EQ(bits_of(got[j]), 0u);
      continue;
    }
    EXPECT_GT(got[j], 0.0f);
    EXPECT_LT(got[j], FLT_MIN);
    EXPECT_NEAR(got[j], std::exp(static_cast<double>(x[j])), 1.5 * std::ldexp(1.0, -149));
  }
  EXPECT_EQ(bits_of(got[3]), 0u);  // n = -202
  EXPECT_EQ(bits_of(got[4]), 0u);  // n = -289
  for (int j : {5, 6}) EXPECT_NEAR(got[j], std::exp(static_cast<double>(x[j])), 2.5e-7 * got[j]);
  if (flushes_subnormals) {
    // n = -126: the product 2^-126 p is subnormal and flushed, leaving 2^-126.
    EXPECT_EQ(got[7], FLT_MIN);
  } else {
    EXPECT_NEAR(got[7], std::exp(static_cast<double>(x[7])), 2.5e-7 * got[7]);
  }
  for (int j = 8; j < 16; ++j) EXPECT_EQ(got[j], 0.125f);
}

// Feature bits 0 and those of this build's vector variants, each on one to
// four threads; on x86 also the dense layers' AVX-VNNI and AVX-512 variants.
std::vector<Variant> all_variants() {
#if defined(QX_ARM_KERNELS)
  const uint32_t flags[] = {0, CPU_NEON};
#else
  constexpr uint32_t kAvx2 = CPU_SSE4_1 | CPU_AVX2;
  constexpr uint32_t kAvx512 = kAvx2 | CPU_AVX512F | CPU_AVX512BW;
  const uint32_t flags[] = {0,       CPU_SSE4_1, CPU_AVX2, kAvx2, kAvx2 | CPU_AVXVNNI,
                            kAvx512, kAvx512 | CPU_AVX512VNNI};
#endif
  std::vector<Variant> variants;
  for (const uint32_t isa_flags : flags) {
    for (int32_t threads = 1; threads <= 4; ++threads) variants.push_back({isa_flags, threads});
  }
  return variants;
}

INSTANTIATE_TEST_SUITE_P(AllVariants, KernelVsReference, ::testing::ValuesIn(all_variants()),
                         variant_name);

// ---- Item counts and variants ------------------------------------------------------------------

// The feature bits of this build's vector variants.
#if defined(QX_ARM_KERNELS)
constexpr uint32_t kVectorFlags = CPU_NEON;
#else
constexpr uint32_t kVectorFlags = CPU_SSE4_1 | CPU_AVX2;
#endif

TEST(KernelPlan, ItemCountsFollowTheSplitTable) {
  const KernelThreads pool4{4, true};
  const KernelThreads pool2{2, true};
  const KernelThreads four_without_pool{4, false};
  const KernelThreads single{1, false};
  // Sets with and without the single-row pair kernels, whichever the build has.
  const CpuKernelSet isa0 = cpu_kernel_set(0);
  const CpuKernelSet isa5 = cpu_kernel_set(kVectorFlags);
  const struct {
    const char *what;
    uint64_t got;
    uint64_t want;
  } rows[] = {
      {"add, 300000 on 4 threads", add_item_count(pool4, 300000), 2},
      {"add, below 2 x 131072", add_item_count(pool4, 262143), 1},
      {"add, at most the thread count", add_item_count(pool4, 10000000), 4},
      {"add, no pool", add_item_count(four_without_pool, 10000000), 1},
      {"lstm, 300 cells on a pool", lstm_item_count(pool4, 300), 3},
      {"lstm, 128 cells on a pool", lstm_item_count(pool4, 128), 1},
      {"lstm, 129 cells on a pool", lstm_item_count(pool2, 129), 2},
      {"lstm, no pool", lstm_item_count(single, 300), 1},
      {"standardize, 2047 rows", plan_standardize_i16(pool4, isa5, 2047, 16).items, 1},
      {"standardize, 2048 rows", plan_standardize_i16(pool4, isa5, 2048, 16).items, 2},
      {"standardize, at most threads^2", plan_standardize_i16(pool4, isa5, 100000, 16).items, 16},
      {"standardize, no pool", plan_standardize_i16(single, isa5, 100000, 16).items, 1},
      {"dense, rows > 1: cells", plan_dense(pool4, isa5, 3, 5, 16, false).items, 15},
      {"dense, rows > 1: at most threads^2", plan_dense(pool2, isa5, 3, 5, 16, false).items, 4},
      {"dense, rows > 1, no pool", plan_dense(four_without_pool, isa5, 3, 5, 16, false).items, 1},
      {"dense, one row: pairs", plan_dense(pool4, isa5, 1, 7, 16, false).items, 3},
      {"dense, one row: at most threads^2", plan_dense(pool4, isa5, 1, 240, 16, false).items, 16},
      {"dense, one row: pairs also without a pool",
       plan_dense(four_without_pool, isa5, 1, 240, 16, false).items, 16},
      {"dense, one output", plan_dense(pool4, isa5, 1, 1, 16, false).items, 1},
      {"dense, one row, portable: cells", plan_dense(pool4, isa0, 1, 7, 16, false).items, 7},
      {"dense, one row, portable, no pool", plan_dense(four_without_pool, isa0, 1, 7, 16, false).items,
       1},
      {"matmul, fewer cells than threads^2", plan_matmul(pool4, isa5, 1, 9, 96).items, 9},
      {"matmul, at most threads^2", plan_matmul(pool4, isa5, 8, 8, 3).items, 16},
      {"softmax, at most threads^2", plan_softmax_f32(pool2, isa5, 100, 8).items, 4},
      {"softmax, one row", plan_softmax_i16_to_q31(pool4, isa5, 1, 2).items, 1},
  };
  for (const auto &row : rows) EXPECT_EQ(row.got, row.want) << row.what;
}

#if defined(QX_X86_KERNELS)
TEST(KernelPlan, VariantsFollowFeatureBitsAndShapes) {
  const KernelThreads one{1, false};
  const CpuKernelSet isa0 = cpu_kernel_set(0), isa1 = cpu_kernel_set(1);
  const CpuKernelSet isa4 = cpu_kernel_set(4), isa5 = cpu_kernel_set(5);
  const CpuKernelSet avx_vnni = cpu_kernel_set(5 | CPU_AVXVNNI);
  const CpuKernelSet avx512 = cpu_kernel_set(5 | CPU_AVXVNNI | CPU_AVX512F | CPU_AVX512BW);
  const CpuKernelSet avx512_vnni = cpu_kernel_set(5 | CPU_AVXVNNI | CPU_AVX512F | CPU_AVX512BW |
                                                  CPU_AVX512VNNI);
  const CpuKernelSet avx512_only = cpu_kernel_set(5 | CPU_AVX512F | CPU_AVX512BW | CPU_AVX512VNNI);
  const int32_t wide = kDenseWideMinInputs;
  const int32_t bytes = kDenseBytesMinInputs;
  // Function pointers of different types, compared as addresses.
  auto fn = [](auto pointer) { return reinterpret_cast<const void *>(pointer); };
  const struct {
    const char *what;
    const void *got;
    const void *want;
  } rows[] = {
      {"add_f32 AVX2, length % 8", fn(isa5.add_f32.for_length(8)), fn(add_f32_avx2)},
      {"add_f32 SSE4.1, length % 4", fn(isa5.add_f32.for_length(12)), fn(add_f32_sse41)},
      {"add_f32 plain, odd length", fn(isa5.add_f32.for_length(6)), fn(add_f32_portable)},
      {"add_f32 AVX2 only, length % 4", fn(isa4.add_f32.for_length(12)), fn(add_f32_portable)},
      {"add_i16 AVX2, length % 16", fn(isa5.add_i16.for_length(16)), fn(add_i16_avx2)},
      {"add_i16 SSE4.1, length % 8", fn(isa5.add_i16.for_length(24)), fn(add_i16_sse41)},
      {"add_i16 portable", fn(isa0.add_i16.for_length(16)), fn(add_i16_portable)},
      {"dense one row AVX2", fn(plan_dense(one, isa5, 1, 7, 16, false).pairs), fn(dense_pairs_avx2)},
      {"dense one row SSE4.1", fn(plan_dense(one, isa1, 1, 7, 16, false).pairs), fn(dense_pairs_sse41)},
      {"dense one row portable", fn(plan_dense(one, isa0, 1, 7, 16, false).cells),
       fn(dense_cells_portable)},
      {"dense_i8 one output: pairs", fn(plan_dense(one, isa5, 1, 1, 16, false).pairs),
       fn(dense_pairs_avx2)},
      {"dense_acc_i8 one output: portable", fn(plan_dense(one, isa5, 1, 1, 16, true).cells),
       fn(dense_cells_portable)},
      {"dense one row AVX-VNNI", fn(plan_dense(one, avx_vnni, 1, 7, 208, false).pairs),
       fn(dense_pairs_avxvnni)},
      {"dense one row AVX-512", fn(plan_dense(one, avx512, 1, 7, wide, false).pairs),
       fn(dense_pairs_avx512bw)},
      {"dense one row AVX-512 VNNI: bytes",
       fn(plan_dense(one, avx512_vnni, 1, 9, wide, false).pairs), fn(dense_pairs_avx512vnni_bytes)},
      {"dense one row AVX-512 VNNI, shortest for bytes",
       fn(plan_dense(one, avx512_vnni, 1, 8, bytes, false).pairs), fn(dense_pairs_avx512vnni_bytes)},
      {"dense one row AVX-512 VNNI, fewer outputs than bytes need",
       fn(plan_dense(one, avx512_vnni, 1, 7, wide, false).pairs), fn(dense_pairs_avx512vnni)},
      {"dense one row AVX-512 without VNNI: no bytes",
       fn(plan_dense(one, avx512, 1, 8, bytes, false).pairs), fn(dense_pairs_avxvnni)},
      {"dense rows AVX-512 VNNI", fn(plan_dense(one, avx512_vnni, 3, 7, wide, false).cells),
       fn(dense_cells_avx512vnni)},
      {"dense short rows under AVX-512: AVX-VNNI",
       fn(plan_dense(one, avx512_vnni, 1, 7, bytes - 1, false).pairs), fn(dense_pairs_avxvnni)},
      {"dense short rows under AVX-512 VNNI without AVX-VNNI: AVX2",
       fn(plan_dense(one, avx512_only, 1, 7, bytes - 1, false).pairs), fn(dense_pairs_avx2)},
      {"dense short rows under AVX-512 without AVX-VNNI: AVX2",
       fn(plan_dense(one, avx512_only, 3, 7, wide - 1, true).cells), fn(dense_cells_avx2)},
      {"dense_acc_i8 one output under AVX-512: portable",
       fn(plan_dense(one, avx512_vnni, 1, 1, wide, true).cells), fn(dense_cells_portable)},
      {"dense rows AVX2", fn(plan_dense(one, isa5, 3, 7, 16, false).cells), fn(dense_cells_avx2)},
      {"dense rows SSE4.1", fn(plan_dense(one, isa1, 3, 7, 16, true).cells), fn(dense_cells_sse41)},
      {"lstm AVX-512 BW", fn(avx512_vnni.lstm), fn(lstm_cell_i16_avx512bw)},
      {"add_i16 AVX2 under AVX-512", fn(avx512_vnni.add_i16.for_length(16)), fn(add_i16_avx2)},
      {"lstm AVX2", fn(isa4.lstm), fn(lstm_cell_i16_avx2)},
      {"lstm SSE4.1", fn(isa1.lstm), fn(lstm_cell_i16_sse41)},
      {"lstm portable", fn(isa0.lstm), fn(lstm_cell_i16_portable)},
      {"matmul fused, k = 64", fn(plan_matmul(one, isa5, 1, 9, 64).kernel),
       fn(matmul_f32_avx2_fma)},
      {"matmul plain, k = 48", fn(plan_matmul(one, isa5, 1, 9, 48).kernel),
       fn(matmul_f32_portable)},
      {"matmul plain, SSE4.1 only", fn(plan_matmul(one, isa1, 1, 9, 64).kernel),
       fn(matmul_f32_portable)},
      {"softmax_f32 AVX2", fn(plan_softmax_f32(one, isa5, 1, 16).kernel), fn(softmax_f32_avx2)},
      {"softmax_f32 SSE4.1", fn(plan_softmax_f32(one, isa5, 1, 12).kernel), fn(softmax_f32_sse41)},
      {"softmax_f32 portable", fn(plan_softmax_f32(one, isa5, 1, 9).kernel),
       fn(softmax_f32_portable)},
      {"softmax_i16 AVX2", fn(plan_softmax_i16_to_q31(one, isa5, 1, 32).kernel),
       fn(softmax_i16_to_q31_avx2)},
      {"softmax_i16 SSE4.1", fn(plan_softmax_i16_to_q31(one, isa5, 1, 8).kernel),
       fn(softmax_i16_to_q31_sse41)},
      {"softmax_i16 portable", fn(plan_softmax_i16_to_q31(one, isa5, 1, 2).kernel),
       fn(softmax_i16_to_q31_portable)},
      {"standardize AVX2", fn(plan_standardize_i16(one, isa5, 2, 32).kernel),
       fn(standardize_i16_avx2)},
      {"standardize SSE4.1", fn(plan_standardize_i16(one, isa5, 2, 40).kernel),
       fn(standardize_i16_sse41)},
      {"standardize portable", fn(plan_standardize_i16(one, isa4, 2, 40).kernel),
       fn(standardize_i16_portable)},
  };
  for (const auto &row : rows) EXPECT_EQ(row.got, row.want) << row.what;
}
#endif

#if defined(QX_ARM_KERNELS)
TEST(KernelPlan, NeonVariantsFollowShapes) {
  const KernelThreads one{1, false};
  const CpuKernelSet neon = cpu_kernel_set(CPU_NEON), none = cpu_kernel_set(0);
  auto fn = [](auto pointer) { return reinterpret_cast<const void *>(pointer); };
  const struct {
    const char *what;
    const void *got;
    const void *want;
  } rows[] = {
      {"add_f32, length % 4", fn(neon.add_f32.for_length(12)), fn(add_f32_neon)},
      {"add_f32, odd length", fn(neon.add_f32.for_length(6)), fn(add_f32_portable)},
      {"add_i16, length % 8", fn(neon.add_i16.for_length(24)), fn(add_i16_neon)},
      {"add_i16, length % 4", fn(neon.add_i16.for_length(12)), fn(add_i16_portable)},
      {"add_i16 without the bit", fn(none.add_i16.for_length(16)), fn(add_i16_portable)},
      {"dense one row: pairs", fn(plan_dense(one, neon, 1, 7, 16, false).pairs), fn(dense_pairs_neon)},
      {"dense_acc_i8 one row, two outputs: pairs", fn(plan_dense(one, neon, 1, 2, 16, true).pairs),
       fn(dense_pairs_neon)},
      {"dense_acc_i8 one output: portable", fn(plan_dense(one, neon, 1, 1, 16, true).cells),
       fn(dense_cells_portable)},
      {"dense rows: cells", fn(plan_dense(one, neon, 3, 7, 16, false).cells), fn(dense_cells_neon)},
      {"dense without the bit", fn(plan_dense(one, none, 1, 7, 16, false).cells),
       fn(dense_cells_portable)},
      {"lstm", fn(neon.lstm), fn(lstm_cell_i16_neon)},
      {"lstm without the bit", fn(none.lstm), fn(lstm_cell_i16_portable)},
      {"matmul: portable only", fn(plan_matmul(one, neon, 1, 9, 64).kernel),
       fn(matmul_f32_portable)},
      {"softmax_f32, cols % 4", fn(plan_softmax_f32(one, neon, 1, 12).kernel),
       fn(softmax_f32_neon)},
      {"softmax_f32, cols 6", fn(plan_softmax_f32(one, neon, 1, 6).kernel),
       fn(softmax_f32_portable)},
      {"softmax_i16, cols % 8", fn(plan_softmax_i16_to_q31(one, neon, 1, 24).kernel),
       fn(softmax_i16_to_q31_neon)},
      {"softmax_i16, cols 12", fn(plan_softmax_i16_to_q31(one, neon, 1, 12).kernel),
       fn(softmax_i16_to_q31_portable)},
      {"standardize, cols % 8", fn(plan_standardize_i16(one, neon, 2, 40).kernel),
       fn(standardize_i16_neon)},
      {"standardize, cols 20", fn(plan_standardize_i16(one, neon, 2, 20).kernel),
       fn(standardize_i16_portable)},
  };
  for (const auto &row : rows) EXPECT_EQ(row.got, row.want) << row.what;
}
#endif

// Item boundaries at the extremes of the 64-bit range, where the product
// units * item needs 128 bits (built from 32-bit halves on 32-bit targets).
TEST(KernelPlan, SharesOfTheFlatRangeAreExact) {
  const uint64_t max = ~uint64_t{0};
  const struct {
    uint64_t units, count, item, want;
  } rows[] = {
      {10, 4, 1, 2},      {10, 4, 3, 7},          {10, 4, 4, 10},
      {7, 7, 3, 3},       {max, 3, 1, max / 3},   {max, 3, 2, max / 3 * 2},
      {max, max, max - 1, max - 1},                {max, 2, 1, max / 2},
      {1ull << 40, 3, 2, 733007751850ull},         {max, 1ull << 32, 1, (1ull << 32) - 1},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(share_begin(row.units, row.count, row.item), row.want)
        << row.units << " units, item " << row.item << " of " << row.count;
  }
}

TEST(KernelPlan, SmallOperatorsStayOnTheCallingThread) {
  ThreadPool *pool = nullptr;
  ASSERT_EQ(thread_pool_create(2, &pool), QX_STATUS_SUCCESS);
  const uint64_t threshold = kernel_testing::parallel_threshold();
  const struct {
    CpuBackend backend;
    uint64_t work;
    uint64_t count;
    bool pooled;
  } rows[] = {
      {{2, 0, pool, {}}, threshold - 1, 1, false}, {{2, 0, pool, {}}, threshold, 2, true},
      {{4, 0, nullptr, {}}, threshold, 4, false},  {{0, 0, nullptr, {}}, threshold, 1, false},
      {{-3, 0, nullptr, {}}, threshold, 1, false},
  };
  for (const auto &row : rows) {
    const KernelThreads got = kernel_threads(row.backend, row.work);
    EXPECT_EQ(got.count, row.count) << row.backend.thread_count << " threads, work " << row.work;
    EXPECT_EQ(got.pooled, row.pooled) << row.backend.thread_count << " threads, work " << row.work;
  }
  thread_pool_destroy(pool);
}

// ---- Operands the kernels leave to the reference -----------------------------------------------

// Each call is one the kernels must decline with 3 before touching anything;
// through run_operator the reference then decides, as if there were no kernel.
TEST(KernelDeclines, WhateverTheReferenceTreatsSpecially) {
  DeviceContext *context = nullptr;
  ASSERT_EQ(open_device("cpu:1", "cpu:1", &context), QX_STATUS_SUCCESS);
  const std::vector<float> f(16, 1.5f);
  const std::vector<int16_t> h(48, 300);
  const std::vector<int8_t> b(64, 3);
  auto bytes = [](const auto &values) {
    Operand o = operand(values, false);
    return o;
  };
  const struct {
    const char *what;
    Call call;
    QxStatus reference_status;
  } rows[] = {
      {"add_f32, count 0",
       {kOpAddF32, {bytes(f), bytes(f), bytes(f)}, {0, 0, 0, 0}},
       QX_STATUS_SUCCESS},
      {"add_f32, negative offset",
       {kOpAddF32, {bytes(f), bytes(f), bytes(f)}, {4, -4, 0, 0}},
       QX_STATUS_INVALID_ARGUMENT},
      {"add_f32, misaligned offset",
       {kOpAddF32, {bytes(f), bytes(f), bytes(f)}, {4, 2, 0, 0}},
       QX_STATUS_INVALID_ARGUMENT},
      {"add_f32, past the end",
       {kOpAddF32, {bytes(f), bytes(f), bytes(f)}, {16, 4, 0, 0}},
       QX_STATUS_INVALID_ARGUMENT},
      {"add_f32, output one element ahead of a",
       {kOpAddF32, {bytes(f), bytes(f), bytes(f)}, {8, 4, 0, 0}, 1},
       QX_STATUS_SUCCESS},
      {"add_i16, output behind b",
       {kOpAddI16, {bytes(h), bytes(h), bytes(h)}, {8, 0, 0, 2}, 2},
       QX_STATUS_SUCCESS},
      {"dense_i8, no inputs",
       {kOpDenseI8, {bytes(h), bytes(h), bytes(b), bytes(b)}, {1, 4, 0, 0, 0}},
       QX_STATUS_SUCCESS},
      {"dense_i8, output over x",
       {kOpDenseI8, {bytes(h), bytes(h), bytes(b), bytes(b)}, {1, 4, 8, 0, 4}, 1},
       QX_STATUS_SUCCESS},
      {"dense_acc_i8, weights too short",
       {kOpDenseAccI8, {bytes(h), bytes(h), bytes(b), bytes(b)}, {1, 8, 16, 0, 0}},
       QX_STATUS_INVALID_ARGUMENT},
      {"lstm_cell_i16, h inside the u gates",
       {kOpLstmCellI16, {bytes(h), bytes(h), bytes(h)}, {8, 16, 0, 0}, 2},
       QX_STATUS_SUCCESS},
      {"lstm_cell_i16, negative width",
       {kOpLstmCellI16, {bytes(h), bytes(h), bytes(h)}, {-8, 0, 0, 0}},
       QX_STATUS_SUCCESS},
      {"matmul_f32, k = 0 (the reference writes zeros)",
       {kOpMatmulF32, {bytes(f), bytes(f), bytes(f)}, {2, 2, 0, 0, 0, 0}},
       QX_STATUS_SUCCESS},
      {"matmul_f32, output over W",
       {kOpMatmulF32, {bytes(f), bytes(f), bytes(f)}, {1, 2, 4, 0, 0, 4}, 2},
       QX_STATUS_SUCCESS},
      {"softmax_f32, output half a row ahead",
       {kOpSoftmaxF32, {bytes(f), bytes(f)}, {1, 8, 16, 0}, 1},
       QX_STATUS_SUCCESS},
      {"softmax_i16_to_q31, output over x",
       {kOpSoftmaxI16ToQ31, {bytes(h), bytes(h)}, {1, 8, 0, 0}, 1},
       QX_STATUS_SUCCESS},
      {"standardize_i16, output over scale",
       {kOpStandardizeI16, {bytes(h), bytes(h), bytes(h), bytes(h)}, {1, 8, 0, 16}, 3},
       QX_STATUS_SUCCESS},
      {"standardize_i16, zero rows",
       {kOpStandardizeI16, {bytes(h), bytes(h), bytes(h), bytes(h)}, {0, 8, 0, 0}},
       QX_STATUS_SUCCESS},
  };
  const uint32_t flags = platform::detect_isa_flags();
  CpuBackend backend{1, flags, nullptr, cpu_kernel_set(usable_isa_flags(flags))};
  const OperationTable &table = operation_table();
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    const Call &call = row.call;
    const auto untouched =
        run_call(context, call, QX_STATUS_INVALID_ARGUMENT, [&](const OperandBlock *block) {
          return table.device_op[call.opcode][kDeviceCpu](&backend, nullptr, block);
        });
    for (size_t i = 0; i < call.operands.size(); ++i) {
      if (call.output_is < 0 || i == 0 || static_cast<int>(i) != call.output_is) {
        EXPECT_EQ(untouched[i].bytes, call.operands[i].bytes) << "operand " << i;
      }
    }
    const auto dispatched = run_call(
        context, call, row.reference_status,
        [&](const OperandBlock *block) { return run_operator(context, call.opcode, block); });
    const auto by_reference = run_call(
        context, call, row.reference_status,
        [&](const OperandBlock *block) { return table.reference_op[call.opcode](context, block); });
    for (size_t i = 0; i < call.operands.size(); ++i)
      EXPECT_EQ(dispatched[i].bytes, by_reference[i].bytes);
  }
  // Without a backend record there is nothing to run on.
  const Call call{kOpAddF32, {bytes(f), bytes(f), bytes(f)}, {4, 0, 0, 0}};
  run_call(context, call, QX_STATUS_INVALID_ARGUMENT, [&](const OperandBlock *block) {
    return table.device_op[kOpAddF32][kDeviceCpu](nullptr, nullptr, block);
  });
  release_device_context(context);
}

}  // namespace
}  // namespace qx
