// The reference operators at the shapes the library runs them at, on a
// single-threaded CPU context that forbids device kernels: the baseline the
// CPU kernels are measured against.
//
// Voice detector shapes are fixed (two recurrent layers of 80, 240 gate rows,
// 2 x 40 features, 2 logits). Classifier shapes depend on the model; the ones
// here assume 102 time steps of 80 normalised inputs, a hidden size of 128
// (gate matrix 384 x 208), no projection and 9 languages.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bench_context.h"
#include "devices/device_selection.h"
#include "runtime/device_context.h"
#include "runtime/graph_interpreter.h"
#include "runtime/opcodes.h"


namespace qx {
namespace {

// A reference-only CPU context and random tensors that live for one benchmark.
class Workbench {
 public:
  Workbench() {
    if (open_device("cpu:1", "cpu:1", &context_) == QX_STATUS_SUCCESS) {
      context_->flags |= kContextReferenceOnly;
    }
  }
  ~Workbench() {
    for (TensorBuffer *tensor : tensors_) tensor_free(context_, tensor);
    if (context_) release_device_context(context_);
  }

  // Random bytes, or int16 values in [low, high] when asked.
  TensorBuffer *tensor(int32_t bytes) {
    TensorBuffer *made = tensor_alloc(context_, bytes, 0);
    auto *data = static_cast<uint8_t *>(made->data);
    for (int32_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(random_());
    tensors_.push_back(made);
    return made;
  }
  TensorBuffer *int16_tensor(int32_t count, int low, int high) {
    TensorBuffer *made = tensor(count * 2);
    std::uniform_int_distribution<int> value(low, high);
    auto *data = static_cast<int16_t *>(made->data);
    for (int32_t i = 0; i < count; ++i) data[i] = static_cast<int16_t>(value(random_));
    return made;
  }
  TensorBuffer *float_tensor(int32_t count) {
    TensorBuffer *made = tensor(count * 4);
    std::normal_distribution<float> value(0.0f, 1.0f);
    auto *data = static_cast<float *>(made->data);
    for (int32_t i = 0; i < count; ++i) data[i] = value(random_);
    return made;
  }

  void run(benchmark::State &state, Opcode opcode, std::initializer_list<TensorBuffer *> tensors,
           std::initializer_list<int32_t> immediates) {
    OperandBlock block{};
    int index = 0;
    for (TensorBuffer *tensor : tensors) block.set_tensor(index++, tensor);
    const int tensor_count = index;
    index = 0;
    for (int32_t value : immediates) block.set_immediate(tensor_count, index++, value);
    for (auto _ : state) {
      const QxStatus status = run_operator(context_, opcode, &block);
      benchmark::DoNotOptimize(status);
      benchmark::ClobberMemory();
    }
  }

  DeviceContext *context_ = nullptr;

 private:
  std::mt19937 random_{20240611};
  std::vector<TensorBuffer *> tensors_;
};

void set_macs(benchmark::State &state, double macs_per_call) {
  state.counters["MAC/s"] =
      benchmark::Counter(macs_per_call, benchmark::Counter::kIsIterationInvariantRate);
}

// ---- Integer operators, voice detector shapes -------------------------------------

void BM_dense_i8(benchmark::State &state) {
  const int32_t outputs = static_cast<int32_t>(state.range(0));
  const int32_t inputs = static_cast<int32_t>(state.range(1));
  Workbench bench;
  TensorBuffer *out = bench.tensor(outputs * 2);
  TensorBuffer *x = bench.int16_tensor(inputs, -4096, 4096);
  TensorBuffer *w = bench.tensor(outputs * inputs);
  TensorBuffer *b = bench.tensor(outputs);
  bench.run(state, kOpDenseI8, {out, x, w, b}, {1, outputs, inputs, 0, 0});
  set_macs(state, static_cast<double>(outputs) * inputs);
}
BENCHMARK(BM_dense_i8)->Args({240, 80})->Args({2, 80})->Args({384, 208});

void BM_dense_acc_i8(benchmark::State &state) {
  Workbench bench;
  TensorBuffer *out = bench.int16_tensor(240, -4096, 4096);
  TensorBuffer *h = bench.int16_tensor(80, -1024, 1024);
  bench.run(state, kOpDenseAccI8, {out, h, bench.tensor(240 * 80), bench.tensor(240)},
            {1, 240, 80, 0, 0});
  set_macs(state, 240.0 * 80);
}
BENCHMARK(BM_dense_acc_i8);

void BM_lstm_cell_i16(benchmark::State &state) {
  Workbench bench;
  TensorBuffer *h = bench.tensor(80 * 2);
  TensorBuffer *cell = bench.int16_tensor(80, -2048, 2048);
  TensorBuffer *gates = bench.int16_tensor(240, -8192, 8192);
  // The cell evolves from call to call, as in the detector.
  bench.run(state, kOpLstmCellI16, {h, cell, gates}, {80, 0, 0, 0});
}
BENCHMARK(BM_lstm_cell_i16);

void BM_standardize_i16(benchmark::State &state) {
  Workbench bench;
  TensorBuffer *x = bench.int16_tensor(80, -12000, -4000);
  TensorBuffer *shift = bench.int16_tensor(40, -9854, -7310);
  TensorBuffer *scale = bench.int16_tensor(40, 394, 435);
  // Not in place here, so that every call sees the same inputs.
  bench.run(state, kOpStandardizeI16, {bench.tensor(160), x, shift, scale}, {2, 40, 0, 0});
}
BENCHMARK(BM_standardize_i16);

void BM_softmax_i16_to_q31(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpSoftmaxI16ToQ31, {bench.tensor(8), bench.int16_tensor(2, -4096, 4096)},
            {1, 2, 0, 0});
}
BENCHMARK(BM_softmax_i16_to_q31);

void BM_add_i16(benchmark::State &state) {
  Workbench bench;
  TensorBuffer *a = bench.int16_tensor(80, -20000, 20000);
  bench.run(state, kOpAddI16, {bench.tensor(160), a, bench.int16_tensor(80, -20000, 20000)},
            {80, 0, 0, 0});
}
BENCHMARK(BM_add_i16);

void BM_copy_bytes(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpCopyBytes, {bench.tensor(160), bench.tensor(160)}, {160, 0, 0});
}
BENCHMARK(BM_copy_bytes);

void BM_zero_bytes(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpZeroBytes, {bench.tensor(160)}, {160, 0});
}
BENCHMARK(BM_zero_bytes);

// ---- Float operators, classifier shapes ----------------------------------------------

void BM_normalize_f32_to_i16(benchmark::State &state) {
  Workbench bench;
  const float epsilon = 1e-5f;
  int32_t epsilon_bits;
  std::memcpy(&epsilon_bits, &epsilon, sizeof(epsilon_bits));
  bench.run(state, kOpNormalizeF32ToI16, {bench.tensor(102 * 80 * 2), bench.float_tensor(102 * 80)},
            {epsilon_bits, 102, 80});
}
BENCHMARK(BM_normalize_f32_to_i16);

void BM_sum_rows_i16_to_f32(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpSumRowsI16ToF32,
            {bench.tensor(128 * 4), bench.int16_tensor(102 * 128, -2048, 2048)}, {102, 128, 0, 0});
}
BENCHMARK(BM_sum_rows_i16_to_f32);

void BM_matmul_f32(benchmark::State &state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  const int32_t k = static_cast<int32_t>(state.range(1));
  Workbench bench;
  bench.run(state, kOpMatmulF32,
            {bench.tensor(n * 4), bench.float_tensor(k), bench.float_tensor(n * k)},
            {1, n, k, 0, 0, 0});
  set_macs(state, static_cast<double>(n) * k);
}
BENCHMARK(BM_matmul_f32)->Args({9, 128})->Args({128, 128});

void BM_add_f32(benchmark::State &state) {
  Workbench bench;
  TensorBuffer *logits = bench.float_tensor(9);
  // In place, as the output layer adds its bias.
  bench.run(state, kOpAddF32, {logits, logits, bench.float_tensor(9)}, {9, 0, 0, 0});
}
BENCHMARK(BM_add_f32);

void BM_softmax_f32(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpSoftmaxF32, {bench.tensor(9 * 4), bench.float_tensor(9)}, {1, 9, 0, 0});
}
BENCHMARK(BM_softmax_f32);

void BM_gelu_f32(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpGeluF32, {bench.tensor(128 * 4), bench.float_tensor(128)}, {128, 0, 0});
}
BENCHMARK(BM_gelu_f32);

void BM_relu_f32(benchmark::State &state) {
  Workbench bench;
  bench.run(state, kOpReluF32, {bench.tensor(128 * 4), bench.float_tensor(128)}, {128, 0, 0});
}
BENCHMARK(BM_relu_f32);

// ---- One detector step through the interpreter ---------------------------------------------

// The detector's 94-word step range with random weights: six dense layers,
// two cells, the copies and the softmax, all as reference operators.
void BM_detector_step_program(benchmark::State &state) {
  static const int32_t kProgram[] = {
      9,  4, 160, 0, 9, 5,  160, 0,  9,  6,   160, 0, 9,   7, 160, 0,  13, 1,  1,  8,   9,  2,
      40, 0, 0,   3, 2, 1,  10,  11, 1,  240, 80,  0, 0,   2, 2,   4,  12, 13, 1,  240, 80, 0,
      0,  6, 1,   5, 2, 80, 0,   0,  0,  8,   4,   1, 160, 0, 0,   3,  2,  1,  14, 15,  1,  240,
      80, 0, 0,   2, 2, 6,  16,  17, 1,  240, 80,  0, 0,   6, 1,   7,  2,  80, 0,  0,   0,  8,
      6,  1, 160, 0, 0, 3,  3,   1,  18, 19,  1,   2, 80,  0, 0,   12, 0,  3,  1,  2,   0,  0};
  static const int32_t kBytes[20] = {8,     160, 480,   4,   160,   160, 160,   160, 80,  80,
                                     19200, 240, 19200, 240, 19200, 240, 19200, 240, 160, 2};
  Workbench bench;
  std::vector<TensorBuffer *> tensors;
  for (int32_t bytes : kBytes) tensors.push_back(bench.tensor(bytes));
  run_program(bench.context_, tensors.data(), 20, kProgram, 0, 16);
  for (auto _ : state) {
    const QxStatus status = run_program(bench.context_, tensors.data(), 20, kProgram, 16, 110);
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  set_macs(state, 4 * 240.0 * 80 + 2 * 80);
}
BENCHMARK(BM_detector_step_program);

}  // namespace
}  // namespace qx

QX_BENCHMARK_MAIN()
