// The CPU kernels against their reference operators at the shapes the engine
// runs (default-shape model: 40 bands, hop 256, level-0 input 80, two levels
// of hidden size 96, 9 languages), through run_operator as the engine calls
// them. Each case runs as
//   <case>/reference   the reference operator (context flag reference-only)
//   <case>/isa:F       the kernel with kernel feature bits F (0 portable,
//                      1 SSE4.1, 5 AVX2 and SSE4.1; dense layers also 261
//                      AVX-VNNI, 525 AVX-512, 1549 AVX-512 VNNI), skipped
//                      where the processor cannot run them
// Dense layers and matmul report multiply-accumulates per second (MAC/s).
//
// BM_dense_pool compares one and two threads on single-row dense layers of
// growing size with the parallel threshold lifted, which is where the
// threshold in kernel_plan.cc (2^23 MACs, where two threads first won on the
// development machine with other work on both cores; idle, they won from
// 2^18.6) comes from. BM_peak_madd measures the peak
// 16-bit multiply-accumulate rate that the dense figures are compared with.
//
// The MAC/s figures are per CPU second, so a busy machine lowers the peak
// and the kernels alike.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_context.h"
#include "cpu/cpu_backend.h"
#include "devices/device_selection.h"
#include "cpu/kernel_plan.h"
#include "platform/platform.h"
#include "runtime/device_context.h"

namespace qx {
namespace {

enum class Fill { kBytes, kInt16, kFloat };

struct TensorRecipe {
  int32_t count;  // elements of the fill's type
  Fill fill;
  int low = 0;  // kInt16 range
  int high = 0;
};

struct Case {
  const char *name;
  Opcode opcode;
  std::vector<TensorRecipe> tensors;
  std::vector<int32_t> immediates;
  double macs;             // per call; 0 = no MAC/s counter
  int in_place_with = -1;  // tensor operand 0 is this operand (element-wise in place)
};

TensorRecipe bytes(int32_t count) { return {count, Fill::kBytes}; }
TensorRecipe int16s(int32_t count, int low, int high) { return {count, Fill::kInt16, low, high}; }
TensorRecipe floats(int32_t count) { return {count, Fill::kFloat}; }

const std::vector<Case> &cases() {
  static const std::vector<Case> table = {
      // Voice detector, per 512-sample chunk.
      {"standardize_i16/vad_2x40",
       kOpStandardizeI16,
       {int16s(80, -12000, -4000), int16s(80, -12000, -4000), int16s(40, -9854, -7310),
        int16s(40, 394, 435)},
       {2, 40, 0, 0},
       0},
      {"dense_i8/vad_240x80",
       kOpDenseI8,
       {bytes(480), int16s(80, -4096, 4096), bytes(19200), bytes(240)},
       {1, 240, 80, 0, 0},
       240.0 * 80},
      {"dense_acc_i8/vad_240x80",
       kOpDenseAccI8,
       {int16s(240, -4096, 4096), int16s(80, -1024, 1024), bytes(19200), bytes(240)},
       {1, 240, 80, 0, 0},
       240.0 * 80},
      {"lstm_cell_i16/vad_80",
       kOpLstmCellI16,
       {bytes(160), int16s(80, -2048, 2048), int16s(240, -8192, 8192)},
       {80, 0, 0, 0},
       0},
      {"dense_i8/vad_logits_2x80",
       kOpDenseI8,
       {bytes(4), int16s(80, -4096, 4096), bytes(160), bytes(2)},
       {1, 2, 80, 0, 0},
       2.0 * 80},
      {"softmax_i16_to_q31/vad_1x2",
       kOpSoftmaxI16ToQ31,
       {bytes(8), int16s(2, -4096, 4096)},
       {1, 2, 0, 0},
       0},
      // Classifier, per time step and direction: gates of [h, x] rows.
      {"dense_i8/level0_288x176",
       kOpDenseI8,
       {bytes(576), int16s(176, -4096, 4096), bytes(288 * 176), bytes(288)},
       {1, 288, 176, 0, 0},
       288.0 * 176},
      {"dense_i8/level1_288x192",
       kOpDenseI8,
       {bytes(576), int16s(192, -4096, 4096), bytes(288 * 192), bytes(288)},
       {1, 288, 192, 0, 0},
       288.0 * 192},
      // The bundled model's levels (hidden 128): [h, x] of 128 + 80, then 128 + 128.
      {"dense_i8/bundled_level0_384x208",
       kOpDenseI8,
       {bytes(768), int16s(208, -4096, 4096), bytes(384 * 208), bytes(384)},
       {1, 384, 208, 0, 0},
       384.0 * 208},
      {"dense_i8/bundled_level1_384x256",
       kOpDenseI8,
       {bytes(768), int16s(256, -4096, 4096), bytes(384 * 256), bytes(384)},
       {1, 384, 256, 0, 0},
       384.0 * 256},
      {"lstm_cell_i16/classifier_96",
       kOpLstmCellI16,
       {bytes(192), int16s(96, -2048, 2048), int16s(288, -8192, 8192)},
       {96, 0, 0, 0},
       0},
      {"add_i16/classifier_96",
       kOpAddI16,
       {int16s(96, -20000, 20000), int16s(96, -20000, 20000), int16s(96, -20000, 20000)},
       {96, 0, 0, 0},
       0,
       1},
      // Classifier head.
      {"matmul_f32/head_1x9x96",
       kOpMatmulF32,
       {floats(9), floats(96), floats(9 * 96)},
       {1, 9, 96, 0, 0, 0},
       9.0 * 96},
      {"add_f32/head_9", kOpAddF32, {floats(9), floats(9), floats(9)}, {9, 0, 0, 0}, 0, 1},
      {"softmax_f32/head_1x9", kOpSoftmaxF32, {floats(9), floats(9)}, {1, 9, 0, 0}, 0},
  };
  return table;
}

// A CPU context with random operands for one benchmark run.
class Workbench {
 public:
  explicit Workbench(int threads) {
    const std::string device = "cpu:" + std::to_string(threads);
    if (open_device(device.c_str(), "cpu:1", &context_) != QX_STATUS_SUCCESS) context_ = nullptr;
  }
  ~Workbench() {
    for (TensorBuffer *tensor : tensors_) tensor_free(context_, tensor);
    if (context_) release_device_context(context_);
  }
  bool ok() const { return context_ != nullptr; }
  CpuBackend &backend() { return *static_cast<CpuBackend *>(context_->backend); }
  void reference_only() { context_->flags |= kContextReferenceOnly; }

  TensorBuffer *tensor(const TensorRecipe &recipe) {
    const int32_t element = recipe.fill == Fill::kBytes ? 1 : (recipe.fill == Fill::kInt16 ? 2 : 4);
    TensorBuffer *made = tensor_alloc(context_, recipe.count * element, 0);
    tensors_.push_back(made);
    if (recipe.fill == Fill::kBytes) {
      auto *data = static_cast<uint8_t *>(made->data);
      for (int32_t i = 0; i < recipe.count; ++i) data[i] = static_cast<uint8_t>(random_());
    } else if (recipe.fill == Fill::kInt16) {
      std::uniform_int_distribution<int> value(recipe.low, recipe.high);
      auto *data = static_cast<int16_t *>(made->data);
      for (int32_t i = 0; i < recipe.count; ++i) data[i] = static_cast<int16_t>(value(random_));
    } else {
      std::normal_distribution<float> value(0.0f, 1.0f);
      auto *data = static_cast<float *>(made->data);
      for (int32_t i = 0; i < recipe.count; ++i) data[i] = value(random_);
    }
    return made;
  }

  void run(benchmark::State &state, const Case &c) {
    OperandBlock block{};
    std::vector<TensorBuffer *> made;
    for (const TensorRecipe &recipe : c.tensors) made.push_back(tensor(recipe));
    if (c.in_place_with >= 0) made[0] = made[static_cast<size_t>(c.in_place_with)];
    for (size_t i = 0; i < made.size(); ++i) block.set_tensor(static_cast<int>(i), made[i]);
    const int tensor_count = static_cast<int>(made.size());
    for (size_t i = 0; i < c.immediates.size(); ++i) {
      block.set_immediate(tensor_count, static_cast<int>(i), c.immediates[i]);
    }
    for (auto _ : state) {
      const QxStatus status = run_operator(context_, c.opcode, &block);
      benchmark::DoNotOptimize(status);
      benchmark::ClobberMemory();
    }
    if (c.macs > 0) {
      state.counters["MAC/s"] =
          benchmark::Counter(c.macs, benchmark::Counter::kIsIterationInvariantRate);
    }
  }

 private:
  DeviceContext *context_ = nullptr;
  std::mt19937 random_{20240611};
  std::vector<TensorBuffer *> tensors_;
};

// The kernel variants measured, as kernel feature bits: portable, SSE4.1,
// AVX2 (with SSE4.1), and for dense layers also AVX-VNNI (261), AVX-512
// (525) and AVX-512 VNNI (1549).
constexpr uint32_t kAvx512 = CPU_SSE4_1 | CPU_AVX2 | CPU_AVX512F | CPU_AVX512BW;
constexpr uint32_t kVariantFlags[] = {0,
                                      CPU_SSE4_1,
                                      CPU_SSE4_1 | CPU_AVX2,
                                      CPU_SSE4_1 | CPU_AVX2 | CPU_AVXVNNI,
                                      kAvx512,
                                      kAvx512 | CPU_AVX512VNNI};

bool is_dense(const Case &c) { return c.opcode == kOpDenseI8 || c.opcode == kOpDenseAccI8; }

// The operators that have variants beyond AVX2.
bool has_wider_variants(const Case &c) { return is_dense(c) || c.opcode == kOpLstmCellI16; }

// isa < 0: the reference operator. Variants the processor cannot run are
// skipped with a message.
void run_case(benchmark::State &state, const Case &c, int isa) {
  Workbench bench(1);
  if (!bench.ok()) {
    state.SkipWithError("no CPU context");
    return;
  }
  if (isa < 0) {
    bench.reference_only();
  } else {
    const auto wanted = static_cast<uint32_t>(isa);
    if (wanted & ~usable_isa_flags(platform::detect_isa_flags())) {
      state.SkipWithError("the processor lacks these kernel feature bits");
      return;
    }
    bench.backend().kernels = cpu_kernel_set(wanted);
  }
  bench.run(state, c);
}

void register_cases() {
  for (const Case &c : cases()) {
    benchmark::RegisterBenchmark((std::string("BM_") + c.name + "/reference").c_str(),
                                 [&c](benchmark::State &state) { run_case(state, c, -1); });
    for (uint32_t flags : kVariantFlags) {
      const int isa = static_cast<int>(flags);
      if (flags > (CPU_SSE4_1 | CPU_AVX2) && !has_wider_variants(c)) continue;
      benchmark::RegisterBenchmark(
          (std::string("BM_") + c.name + "/isa:" + std::to_string(isa)).c_str(),
          [&c, isa](benchmark::State &state) { run_case(state, c, isa); });
    }
  }
}

// Single-row dense layers of n_out x n_in on 1 or 2 threads, every call on
// the pool when there is one: where two threads start to pay off.
void BM_dense_pool(benchmark::State &state) {
  const auto n_out = static_cast<int32_t>(state.range(0));
  const auto n_in = static_cast<int32_t>(state.range(1));
  const auto threads = static_cast<int>(state.range(2));
  Workbench bench(threads);
  if (!bench.ok()) {
    state.SkipWithError("no CPU context");
    return;
  }
  const uint64_t saved = kernel_testing::set_parallel_threshold(0);
  const Case c{"dense",
               kOpDenseI8,
               {bytes(2 * n_out), int16s(n_in, -4096, 4096), bytes(n_out * n_in), bytes(n_out)},
               {1, n_out, n_in, 0, 0},
               static_cast<double>(n_out) * n_in};
  bench.run(state, c);
  kernel_testing::set_parallel_threshold(saved);
}
// From the detector's layer (19200 MACs) through the classifier's at hidden
// 128 (98304), 256 (393216) and 384 (884736) to 2^21 ... 2^24.
BENCHMARK(BM_dense_pool)
    ->ArgNames({"n_out", "n_in", "threads"})
    ->ArgsProduct({{240}, {80}, {1, 2}})
    ->ArgsProduct({{384}, {256}, {1, 2}})
    ->ArgsProduct({{768}, {512}, {1, 2}})
    ->ArgsProduct({{1152}, {768}, {1, 2}})
    ->ArgsProduct({{2048}, {1024, 2048}, {1, 2}})
    ->ArgsProduct({{4096}, {2048, 4096}, {1, 2}})
    ->UseRealTime();

// Single-row dense layers of 240 outputs and growing input counts on one
// thread, by the processor's narrow (256-bit) and wide (512-bit) vpdpwssd
// variants alone and by its byte variant (bits 8: vpdpbusd over x's bytes):
// where the wide ones start to win is kDenseWideMinInputs, where the byte
// one does kDenseBytesMinInputs.
void BM_dense_width(benchmark::State &state) {
  const auto n_in = static_cast<int32_t>(state.range(0));
  const int64_t bits = state.range(1);
  Workbench bench(1);
  if (!bench.ok()) {
    state.SkipWithError("no CPU context");
    return;
  }
  CpuKernelSet &kernels = bench.backend().kernels;
  if (!(bits == 8 ? kernels.dense_pairs_bytes : kernels.dense_pairs_wide)) {
    state.SkipWithError(bits == 8 ? "no byte dense variant on this processor"
                                  : "no 512-bit dense variant on this processor");
    return;
  }
  if (bits == 8) {
    kernels.dense_pairs = kernels.dense_pairs_bytes;
  } else if (bits == 512) {
    kernels.dense_pairs = kernels.dense_pairs_wide;
  } else {
    kernels.dense_pairs_wide = nullptr;
    kernels.dense_rows_wide = nullptr;
  }
  kernels.dense_pairs_bytes = nullptr;
  const int32_t n_out = 240;
  const Case c{"dense",
               kOpDenseI8,
               {bytes(2 * n_out), int16s(n_in, -4096, 4096), bytes(n_out * n_in), bytes(n_out)},
               {1, n_out, n_in, 0, 0},
               static_cast<double>(n_out) * n_in};
  bench.run(state, c);
}
BENCHMARK(BM_dense_width)
    ->ArgNames({"n_in", "bits"})
    ->ArgsProduct({{32, 48, 64, 80, 96, 112, 128, 160, 208, 256}, {256, 512, 8}});

// The peak 16-bit multiply-accumulate rate of the dense kernels' core
// instruction: eight independent (v)pmaddwd per loop step, written in
// assembly so that nothing else is measured. 256-bit registers (the AVX2
// variant, 16 MACs each) or 128-bit (SSE4.1, 8 MACs each).
void BM_peak_madd(benchmark::State &state) {
  const bool wide = state.range(0) == 256;
  if (wide && !(platform::detect_isa_flags() & CPU_AVX2)) {
    state.SkipWithError("no AVX2");
    return;
  }
  constexpr int64_t kSteps = 1024;
  for (auto _ : state) {
    if (wide) {
      for (int64_t i = 0; i < kSteps; ++i) {
        __asm__ volatile(
            "vpmaddwd %%ymm8, %%ymm9, %%ymm0\n\tvpmaddwd %%ymm8, %%ymm9, %%ymm1\n\t"
            "vpmaddwd %%ymm8, %%ymm9, %%ymm2\n\tvpmaddwd %%ymm8, %%ymm9, %%ymm3\n\t"
            "vpmaddwd %%ymm8, %%ymm9, %%ymm4\n\tvpmaddwd %%ymm8, %%ymm9, %%ymm5\n\t"
            "vpmaddwd %%ymm8, %%ymm9, %%ymm6\n\tvpmaddwd %%ymm8, %%ymm9, %%ymm7" ::
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
      }
      __asm__ volatile("vzeroupper");
    } else {
      for (int64_t i = 0; i < kSteps; ++i) {
        __asm__ volatile(
            "pmaddwd %%xmm8, %%xmm0\n\tpmaddwd %%xmm8, %%xmm1\n\t"
            "pmaddwd %%xmm8, %%xmm2\n\tpmaddwd %%xmm8, %%xmm3\n\t"
            "pmaddwd %%xmm8, %%xmm4\n\tpmaddwd %%xmm8, %%xmm5\n\t"
            "pmaddwd %%xmm8, %%xmm6\n\tpmaddwd %%xmm8, %%xmm7" ::
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
      }
    }
  }
  const double macs = (wide ? 16.0 : 8.0) * 8 * kSteps;
  state.counters["MAC/s"] = benchmark::Counter(macs, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_peak_madd)->ArgName("bits")->Arg(128)->Arg(256);

}  // namespace
}  // namespace qx

int main(int argc, char **argv) {
  qx::register_cases();
  return qx_bench::run_benchmarks(argc, argv);
}
