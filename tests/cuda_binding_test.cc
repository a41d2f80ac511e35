// Device type 1 through the binding and the GPU library's host emulation
// (a separate "device" copy of every tensor, kernels from the CUDA
// sources): every operator against the CPU reference, the fallback to the
// reference, whole engines on "gpu" against "cpu:1", the device list, and
// what "gpu" does when the library is missing. The Linux build opens the
// emulation by its path; the Windows build imports it, as
// qx_ypu_impl_cuda_orb.dll beside the test program.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "devices/device_selection.h"
#include "qx_orb.h"
#include "runtime/device_context.h"
#include "runtime/operation_table.h"
#include "test_support.h"
#if defined(QX_ORB_CUDA_BINDING)
#include "cuda/cuda_library.h"
#include "engine/engine.h"
#include "frontend/log_mel.h"
#include "frontend/voice_detector.h"
#include "model_file.h"
#include "model_writer.h"
#endif

namespace qx {
namespace {

#if !defined(QX_ORB_CUDA_BINDING)

TEST(CudaBinding, NotInThisBuild) { GTEST_SKIP() << "no CUDA binding in this build"; }

#else

using qx_test::collect_messages;
using qx_test::generic_line;
using qx_test::line;

#if defined(QX_TEST_CUDA_LIBRARY)
constexpr char kEmulatedLibrary[] = QX_TEST_CUDA_LIBRARY;
#endif

// ---- Operands ----------------------------------------------------------------------

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t &b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

template <typename T>
std::vector<uint8_t> bytes_of(const std::vector<T> &values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// Floats in [-range, range], every fifth one exactly 0 or negative zero.
std::vector<uint8_t> random_floats(size_t count, float range, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-range, range);
  std::vector<float> values(count);
  for (size_t i = 0; i < count; ++i)
    values[i] = i % 5 == 4 ? (i % 10 == 4 ? 0.0f : -0.0f) : value(random);
  return bytes_of(values);
}

// Q10 values in [-range, range] (full scale saturates the integer operators).
std::vector<uint8_t> random_q10(size_t count, int32_t range, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int32_t> value(-range, range);
  std::vector<int16_t> values(count);
  for (int16_t &v : values) v = static_cast<int16_t>(value(random));
  return bytes_of(values);
}

enum class Compare { kExact, kFloat, kQ10WithinOne };

struct OperatorCase {
  std::string name;
  int opcode;
  std::vector<std::vector<uint8_t>> tensors;  // initial contents, all compared afterwards
  std::vector<int> operands;                  // operand position -> tensor
  std::vector<int32_t> immediates;
  Compare compare;
  bool kernel_declines;  // the GPU kernel returns 3 and the reference runs
};

int32_t bits(float value) {
  int32_t b;
  std::memcpy(&b, &value, sizeof(b));
  return b;
}

std::vector<OperatorCase> operator_cases() {
  std::vector<OperatorCase> cases;
  const auto add = [&cases](std::string name, int opcode, std::vector<std::vector<uint8_t>> tensors,
                            std::vector<int> operands, std::vector<int32_t> immediates,
                            Compare compare = Compare::kExact, bool declines = false) {
    cases.push_back({std::move(name), opcode, std::move(tensors), std::move(operands),
                     std::move(immediates), compare, declines});
  };
  const auto zeros = [](size_t bytes) { return std::vector<uint8_t>(bytes); };
  // Counts around the 256-thread block: one element, a block, a block and one.
  for (int32_t count : {1, 256, 257}) {
    const std::string n = " " + std::to_string(count);
    const size_t c = static_cast<size_t>(count);
    add("add_f32" + n, kOpAddF32,
        {zeros(4 * c + 8), random_floats(c + 1, 100, 1), random_floats(c, 100, 2)}, {0, 1, 2},
        {count, 8, 4, 0}, Compare::kFloat);
    add("add_i16" + n, kOpAddI16, {zeros(2 * c), random_q10(c, 32768, 3), random_q10(c, 32768, 4)},
        {0, 1, 2}, {count, 0, 0, 0});
    add("gelu_f32" + n, kOpGeluF32, {zeros(4 * c), random_floats(c, 12, 5)}, {0, 1}, {count, 0, 0},
        Compare::kFloat);
    add("relu_f32" + n, kOpReluF32, {zeros(4 * c), random_floats(c, 3, 6)}, {0, 1}, {count, 0, 0},
        Compare::kFloat);
  }
  add("add_f32 in place", kOpAddF32, {random_floats(40, 5, 7), random_floats(40, 5, 8)}, {0, 0, 1},
      {40, 0, 0, 0}, Compare::kFloat);
  add("add_i16 shifted onto itself", kOpAddI16, {random_q10(40, 32768, 9)}, {0, 0, 0},
      {30, 4, 0, 20}, Compare::kExact, true);
  // Dense layers, rows x outputs x inputs, with full-scale weights and inputs.
  for (const auto &s :
       std::vector<std::vector<int32_t>>{{1, 1, 1}, {1, 7, 5}, {3, 33, 64}, {2, 300, 9}}) {
    const std::string n =
        " " + std::to_string(s[0]) + "x" + std::to_string(s[1]) + "x" + std::to_string(s[2]);
    const size_t out = static_cast<size_t>(s[0] * s[1]), x = static_cast<size_t>(s[0] * s[2]);
    const auto w = random_bytes(static_cast<size_t>(s[1] * s[2]), 10);
    const auto bias = random_bytes(static_cast<size_t>(s[1]), 11);
    add("dense_i8" + n, kOpDenseI8, {zeros(2 * out + 6), random_q10(x + 1, 32768, 12), w, bias},
        {0, 1, 2, 3}, {s[0], s[1], s[2], 6, 2});
    add("dense_acc_i8" + n, kOpDenseAccI8,
        {random_q10(out, 32768, 13), random_q10(x, 4096, 14), w, bias}, {0, 1, 2, 3},
        {s[0], s[1], s[2], 0, 0});
  }
  add("dense_i8 writing over its input", kOpDenseI8,
      {random_q10(16, 4096, 15), random_bytes(16, 16), random_bytes(4, 17)}, {0, 0, 1, 2},
      {1, 4, 4, 0, 0}, Compare::kExact, true);
  add("normalize_f32_to_i16 5x40", kOpNormalizeF32ToI16, {zeros(400), random_floats(200, 50, 18)},
      {0, 1}, {bits(1e-5f), 5, 40}, Compare::kQ10WithinOne);
  add("normalize_f32_to_i16 constant columns", kOpNormalizeF32ToI16,
      {zeros(24), bytes_of(std::vector<float>(12, 3.5f))}, {0, 1}, {bits(1e-3f), 3, 4});
  // The recurrent cell with h and the cell in one tensor, as the classifier keeps them.
  for (int32_t width : {1, 20, 257}) {
    const size_t w = static_cast<size_t>(width);
    add("lstm_cell_i16 " + std::to_string(width), kOpLstmCellI16,
        {random_q10(2 * w, 12000, 19), random_q10(3 * w, 16000, 20)}, {0, 0, 1},
        {width, 0, width * 2, 0});
  }
  add("lstm_cell_i16 h over its gates", kOpLstmCellI16,
      {random_q10(40, 9000, 21), random_q10(10, 9000, 22)}, {0, 1, 0}, {10, 0, 0, 0},
      Compare::kExact, true);
  for (const auto &s :
       std::vector<std::vector<int32_t>>{{1, 1, 1}, {3, 17, 31}, {2, 9, 0}, {1, 300, 16}}) {
    add("matmul_f32 " + std::to_string(s[0]) + "x" + std::to_string(s[1]) + "x" +
            std::to_string(s[2]),
        kOpMatmulF32,
        {zeros(static_cast<size_t>(4 * s[0] * s[1])),
         random_floats(static_cast<size_t>(s[0] * s[2]) + 2, 2, 23),
         random_floats(static_cast<size_t>(s[1] * s[2]), 2, 24)},
        {0, 1, 2}, {s[0], s[1], s[2], 0, 8, 0}, Compare::kFloat);
  }
  add("copy_bytes", kOpCopyBytes, {random_bytes(40, 25), random_bytes(30, 26)}, {0, 1},
      {13, 5, 17});
  add("copy_bytes overlapping in one tensor", kOpCopyBytes, {random_bytes(40, 27)}, {0, 0},
      {20, 4, 0}, Compare::kExact, true);
  add("zero_bytes", kOpZeroBytes, {random_bytes(40, 28)}, {0}, {10, 3});
  add("zero_bytes nothing", kOpZeroBytes, {random_bytes(8, 29)}, {0}, {0, 0});
  for (int32_t columns : {1, 9, 300}) {
    const size_t c = static_cast<size_t>(columns);
    add("softmax_f32 3x" + std::to_string(columns), kOpSoftmaxF32,
        {zeros(12 * c), random_floats(3 * c, 20, 30)}, {0, 1}, {3, columns, 0, 0}, Compare::kFloat);
    add("softmax_i16_to_q31 4x" + std::to_string(columns), kOpSoftmaxI16ToQ31,
        {zeros(16 * c), random_q10(4 * c, 32768, 31)}, {0, 1}, {4, columns, 0, 0});
  }
  add("softmax_f32 in place", kOpSoftmaxF32, {random_floats(18, 4, 32)}, {0, 0}, {2, 9, 0, 0},
      Compare::kFloat);
  add("softmax_i16_to_q31 over its input", kOpSoftmaxI16ToQ31, {random_q10(20, 4000, 33)}, {0, 0},
      {1, 5, 0, 0}, Compare::kExact, true);
  add("standardize_i16 6x10", kOpStandardizeI16,
      {zeros(120), random_q10(60, 32768, 34), random_q10(10, 32768, 35), random_q10(10, 32768, 36)},
      {0, 1, 2, 3}, {6, 10, 0, 0});
  add("standardize_i16 in place", kOpStandardizeI16,
      {random_q10(60, 20000, 37), random_q10(10, 2000, 38), random_q10(10, 3000, 39)}, {0, 0, 1, 2},
      {6, 10, 0, 0});
  // No GPU kernel at all: the reference runs on the device's tensors.
  add("sum_rows_i16_to_f32", kOpSumRowsI16ToF32, {zeros(44), random_q10(50, 32768, 40)}, {0, 1},
      {5, 10, 4, 0}, Compare::kExact, true);
  return cases;
}

// ---- Contexts ----------------------------------------------------------------------

class Gpu : public ::testing::Test {
 protected:
#if defined(QX_TEST_CUDA_LIBRARY)
  void SetUp() override { cuda_testing::use_library(kEmulatedLibrary); }
  void TearDown() override { cuda_testing::use_library(kEmulatedLibrary); }
#endif
};

struct Tensors {
  DeviceContext *context;
  std::vector<TensorBuffer *> buffers;
  Tensors(DeviceContext *c, const std::vector<std::vector<uint8_t>> &contents) : context(c) {
    for (const auto &bytes : contents) {
      TensorBuffer *tensor = tensor_alloc(context, static_cast<int32_t>(bytes.size()), 0);
      EXPECT_NE(tensor, nullptr);
      EXPECT_EQ(upload(context, tensor, bytes.data(), 0, static_cast<int32_t>(bytes.size())),
                QX_STATUS_SUCCESS);
      buffers.push_back(tensor);
    }
  }
  ~Tensors() {
    for (TensorBuffer *tensor : buffers) tensor_free(context, tensor);
  }
  std::vector<uint8_t> contents(int index) const {
    std::vector<uint8_t> bytes(static_cast<size_t>(tensor_size(context, buffers[index])));
    EXPECT_EQ(
        download(context, buffers[index], bytes.data(), 0, static_cast<int32_t>(bytes.size())),
        QX_STATUS_SUCCESS);
    return bytes;
  }
  OperandBlock block(const OperatorCase &c) const {
    OperandBlock made{};
    const int count = kOpcodeDescriptors[c.opcode].tensor_count;
    for (size_t i = 0; i < c.operands.size(); ++i)
      made.set_tensor(static_cast<int>(i), buffers[c.operands[i]]);
    for (size_t i = 0; i < c.immediates.size(); ++i)
      made.set_immediate(count, static_cast<int>(i), c.immediates[i]);
    return made;
  }
};

void expect_same(const std::vector<uint8_t> &gpu, const std::vector<uint8_t> &cpu,
                 Compare compare) {
  ASSERT_EQ(gpu.size(), cpu.size());
  if (compare == Compare::kExact) {
    EXPECT_EQ(gpu, cpu);
  } else if (compare == Compare::kQ10WithinOne) {
    for (size_t i = 0; i + 1 < gpu.size(); i += 2) {
      int16_t g, c;
      std::memcpy(&g, &gpu[i], 2);
      std::memcpy(&c, &cpu[i], 2);
      EXPECT_LE(std::abs(g - c), 1) << "element " << i / 2;
    }
  } else {
    // The device's expf may differ from the host's in the last places.
    for (size_t i = 0; i + 3 < gpu.size(); i += 4) {
      float g, c;
      std::memcpy(&g, &gpu[i], 4);
      std::memcpy(&c, &cpu[i], 4);
      EXPECT_NEAR(g, c, 1e-6f + 1e-6f * std::fabs(c)) << "element " << i / 4;
    }
  }
}

TEST_F(Gpu, EveryOperatorMatchesTheCpuReference) {
  DeviceContext *gpu = nullptr, *cpu = nullptr;
  ASSERT_EQ(open_device("gpu", "cpu:1", &gpu), QX_STATUS_SUCCESS);
  ASSERT_EQ(open_device("cpu:1", "cpu:1", &cpu), QX_STATUS_SUCCESS);
  ASSERT_EQ(gpu->device_type, kDeviceCuda);
  const OperationTable &table = operation_table();
  for (const OperatorCase &c : operator_cases()) {
    SCOPED_TRACE(c.name);
    Tensors on_gpu(gpu, c.tensors), on_cpu(cpu, c.tensors);
    const OperandBlock gpu_block = on_gpu.block(c), cpu_block = on_cpu.block(c);
    // The GPU's own kernel does the work, or says it did not.
    const DeviceOpFn kernel = table.device_op[c.opcode][kDeviceCuda];
    if (c.opcode == kOpSumRowsI16ToF32) {
      EXPECT_EQ(kernel, nullptr);
    } else {
      ASSERT_NE(kernel, nullptr);
      const QxStatus by_kernel = kernel(gpu->backend, nullptr, &gpu_block);
      EXPECT_EQ(by_kernel, c.kernel_declines ? QX_STATUS_INVALID_ARGUMENT : QX_STATUS_SUCCESS);
      if (by_kernel != QX_STATUS_SUCCESS) {
        // Declining left everything alone; the dispatch rule then runs the reference.
        for (size_t t = 0; t < c.tensors.size(); ++t) {
          EXPECT_EQ(on_gpu.contents(static_cast<int>(t)), c.tensors[t]);
        }
      }
    }
    if (c.kernel_declines) {
      ASSERT_EQ(run_operator(gpu, c.opcode, &gpu_block), QX_STATUS_SUCCESS);
    }
    ASSERT_EQ(table.reference_op[c.opcode](cpu, &cpu_block), QX_STATUS_SUCCESS);
    for (size_t t = 0; t < c.tensors.size(); ++t) {
      SCOPED_TRACE(::testing::Message() << "tensor " << t);
      expect_same(on_gpu.contents(static_cast<int>(t)), on_cpu.contents(static_cast<int>(t)),
                  c.compare);
    }
  }
  release_device_context(gpu);
  release_device_context(cpu);
}

TEST_F(Gpu, KernelsRejectOperandsOutsideTheirTensorsAsTheReferenceDoes) {
  DeviceContext *gpu = nullptr;
  ASSERT_EQ(open_device("gpu", "cpu:1", &gpu), QX_STATUS_SUCCESS);
  const struct {
    int opcode;
    std::vector<int32_t> immediates;
  } cases[] = {
      {kOpAddF32, {5, 0, 0, 0}},   // 20 bytes from 16-byte tensors
      {kOpAddF32, {1, 2, 0, 0}},   // misaligned output offset
      {kOpAddF32, {1, -4, 0, 0}},  // negative offset
      {kOpZeroBytes, {17, 0}},       {kOpCopyBytes, {4, 13, 0}}, {kOpSoftmaxF32, {2, 3, 0, 0}},
      {kOpDenseI8, {1, 2, 9, 0, 0}},  // 9 inputs: 18 bytes of x in a 16-byte tensor
  };
  {
    Tensors tensors(
        gpu, {random_bytes(16, 1), random_bytes(16, 2), random_bytes(16, 3), random_bytes(16, 4)});
    for (const auto &c : cases) {
      SCOPED_TRACE(::testing::Message()
                   << "opcode " << c.opcode << " first immediate " << c.immediates[0]);
      OperatorCase shaped{"", c.opcode, {}, {0, 1, 2, 3}, c.immediates, Compare::kExact, false};
      shaped.operands.resize(static_cast<size_t>(kOpcodeDescriptors[c.opcode].tensor_count));
      const OperandBlock block = tensors.block(shaped);
      EXPECT_EQ(operation_table().device_op[c.opcode][kDeviceCuda](gpu->backend, nullptr, &block),
                QX_STATUS_INVALID_ARGUMENT);
      EXPECT_EQ(run_operator(gpu, c.opcode, &block), QX_STATUS_INVALID_ARGUMENT);
    }
  }  // the tensors go before their context
  release_device_context(gpu);
}

// ---- Devices ------------------------------------------------------------------------

std::vector<std::string> listed_devices() {
  char **devices = nullptr;
  int32_t count = 0;
  EXPECT_EQ(qx_orb_list_hardware_devices(&devices, &count), QX_STATUS_SUCCESS);
  std::vector<std::string> listed(devices, devices + count);
  qx_orb_free_hardware_devices(devices, count);
  return listed;
}

TEST_F(Gpu, TheListShowsTheGpuAfterTheCpu) {
  const std::vector<std::string> listed = listed_devices();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].rfind("cpu:[0-", 0), 0u);
  EXPECT_EQ(listed[1], "gpu:0 - Emulated CUDA device (host memory)");
}

TEST_F(Gpu, DeviceStringsReachTheLibraryByIndex) {
  const struct {
    const char *device;
    QxStatus status;
    std::vector<std::string> messages;
  } cases[] = {
      {"gpu", QX_STATUS_SUCCESS, {}},
      {"g:0", QX_STATUS_SUCCESS, {}},
      {"gp:", QX_STATUS_SUCCESS, {}},
      {"gpu:1",
       QX_STATUS_INVALID_ARGUMENT,
       {line(806, "No CUDA device gpu:1 (1 found)."), generic_line(300), generic_line(300)}},
      {"gpu:-1",
       QX_STATUS_INVALID_ARGUMENT,
       {line(806, "No CUDA device gpu:-1 (1 found)."), generic_line(300), generic_line(300)}},
      {"gpux", QX_STATUS_INVALID_ARGUMENT, {line(802, "gpux is not a valid device string")}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.device);
    qx_test::discard_messages();
    error_stack_reset();
    DeviceContext *context = nullptr;
    EXPECT_EQ(open_device(c.device, "cpu:1", &context), c.status);
    EXPECT_EQ(collect_messages(), c.messages);
    if (c.status == QX_STATUS_SUCCESS) {
      ASSERT_NE(context, nullptr);
      EXPECT_EQ(context->device_type, kDeviceCuda);
      release_device_context(context);
    } else {
      EXPECT_EQ(context, nullptr);
    }
  }
}

TEST_F(Gpu, WithoutTheLibraryGpuFailsNamingItAndTheCpuStillWorks) {
#if !defined(QX_TEST_CUDA_LIBRARY)
  GTEST_SKIP() << "the library is imported: without it qx_orb.dll does not load at all "
                  "(the test gpu_library_import checks that)";
#endif
  const struct {
    const char *library;
    const char *reason;  // part of the message after the file name
  } cases[] = {
      {"/nonexistent/libqx_ypu_impl_cuda_orb.so", "cannot open shared object file"},
      {"libm.so.6", "the library lacks taabe5"},  // a library, but not this one
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.library);
    cuda_testing::use_library(c.library);
    qx_test::discard_messages();
    error_stack_reset();
    DeviceContext *context = nullptr;
    EXPECT_EQ(open_device("gpu", "cpu:1", &context), QX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(context, nullptr);
    const std::vector<std::string> messages = collect_messages();
    ASSERT_EQ(messages.size(), 3u);
    const std::string head =
        line(805, std::string("GPU library ") + c.library + " could not be loaded: ");
    EXPECT_EQ(messages[0].rfind(head, 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find(c.reason), std::string::npos) << messages[0];
    EXPECT_EQ(messages[1], generic_line(300));
    EXPECT_EQ(messages[2], generic_line(300));
    EXPECT_EQ(listed_devices().size(), 1u);
    ASSERT_EQ(open_device("cpu", "cpu:1", &context), QX_STATUS_SUCCESS);
    release_device_context(context);
    QxOrb *orb = nullptr;
    qx_test::ModelFile model(qx_tools::default_model(3));
    EXPECT_EQ(qx_orb_init(model.path(), "best", 0.5f, &orb), QX_STATUS_SUCCESS);
    qx_orb_delete(orb);
  }
}

// ---- Whole engines ------------------------------------------------------------------

std::vector<int16_t> frame_of(int kind, uint32_t seed) {
  if (kind == 0) return qx_test::speech_like_frame(seed);
  std::vector<int16_t> frame(kFrameSamples, 0);
  uint32_t state = seed;
  for (int16_t &sample : frame) {
    state = state * 1664525u + 1013904223u;
    sample = kind == 1 ? static_cast<int16_t>(state >> 16) : 0;  // full-scale noise, silence
  }
  return frame;
}

uint32_t float_bits(float value) {
  uint32_t b;
  std::memcpy(&b, &value, sizeof(b));
  return b;
}

TEST_F(Gpu, WholeEnginesDecideAndScoreAsOnTheCpu) {
  qx_tools::ModelShape projected;
  projected.has_projection = 1;
  projected.embedding_size = 64;
  const qx_tools::ModelDescription models[] = {qx_tools::default_model(21),
                                               qx_tools::random_model(projected, 22)};
  for (const auto &description : models) {
    SCOPED_TRACE(description.has_projection ? "with a projection" : "default model");
    qx_test::ModelFile model(description);
    QxOrb *on_gpu = nullptr, *on_cpu = nullptr;
    ASSERT_EQ(qx_orb_init(model.path(), "gpu", 0.5f, &on_gpu), QX_STATUS_SUCCESS);
    ASSERT_EQ(qx_orb_init(model.path(), "cpu:1", 0.5f, &on_cpu), QX_STATUS_SUCCESS);
    ASSERT_EQ(on_gpu->device_context->device_type, kDeviceCuda);
    for (int kind : {0, 1, 2, 0}) {
      SCOPED_TRACE(::testing::Message() << "frame kind " << kind);
      const std::vector<int16_t> frame = frame_of(kind, 40 + static_cast<uint32_t>(kind));
      // The detector is an integer network: the same probability, chunk by chunk.
      for (int32_t chunk = 0; chunk < kVoiceChunksPerFrame; chunk += 9) {
        float gpu_probability = -1, cpu_probability = -2;
        const int16_t *pcm = frame.data() + chunk * kVoiceChunkSamples;
        ASSERT_EQ(voice_detector_probability(on_gpu->voice_detector, pcm, &gpu_probability),
                  QX_STATUS_SUCCESS);
        ASSERT_EQ(voice_detector_probability(on_cpu->voice_detector, pcm, &cpu_probability),
                  QX_STATUS_SUCCESS);
        EXPECT_EQ(float_bits(gpu_probability), float_bits(cpu_probability)) << "chunk " << chunk;
      }
      float *gpu_scores = nullptr, *cpu_scores = nullptr;
      ASSERT_EQ(qx_orb_process(on_gpu, frame.data(), &gpu_scores), QX_STATUS_SUCCESS);
      ASSERT_EQ(qx_orb_process(on_cpu, frame.data(), &cpu_scores), QX_STATUS_SUCCESS);
      ASSERT_EQ(gpu_scores != nullptr, cpu_scores != nullptr);  // the same voice decision
      for (int i = 0; gpu_scores && i < 9; ++i) {
        EXPECT_NEAR(gpu_scores[i], cpu_scores[i], 1e-6f) << "language " << i;
      }
      qx_orb_scores_delete(gpu_scores);
      qx_orb_scores_delete(cpu_scores);
    }
    qx_orb_delete(on_gpu);
    qx_orb_delete(on_cpu);
  }
}

#endif

}  // namespace
}  // namespace qx
