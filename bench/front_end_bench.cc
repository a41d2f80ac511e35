// The front ends' loops per kernel set (portable, and avx2 where the
// processor runs it), and both front ends whole under each set: the voice
// detector's per 256-sample hop, the log-mel extractor's per 32768-sample
// frame (hop 256, 40 bands). Nanoseconds per call, except the whole
// log-mel frame (microseconds).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bench_context.h"
#include "bench_signals.h"
#include "devices/device_selection.h"
#include "front_end_reference.h"
#include "frontend/front_end_kernels.h"
#include "frontend/log_mel.h"
#include "frontend/mel_tables.h"
#include "frontend/real_fft.h"
#include "frontend/vad_front_end.h"
#include "runtime/device_context.h"

namespace {

std::vector<float> uniform(uint32_t seed, size_t count, float low, float high) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(low, high);
  std::vector<float> out(count);
  for (float &v : out) v = value(generator);
  return out;
}

// Band energies as the detector sees them: 2^-20 .. 2^36, log-uniform.
std::vector<float> band_energies() {
  std::vector<float> energies = uniform(3, qx::kMelBandCount, -20.0f, 36.0f);
  for (float &e : energies) e = std::exp2(e);
  return energies;
}

using SetBody = void (*)(benchmark::State &, const qx::FrontEndKernels &);

void register_per_set(const char *loop, SetBody body,
                      benchmark::TimeUnit unit = benchmark::kNanosecond) {
  const qx::FrontEndKernelChoice choice = qx::usable_front_end_kernels();
  for (int32_t s = 0; s < choice.count; ++s) {
    const qx::FrontEndKernels *kernels = choice.sets[s];
    benchmark::RegisterBenchmark(
        (std::string("BM_") + loop + "/" + kernels->name).c_str(),
        [body, kernels](benchmark::State &state) { body(state, *kernels); })
        ->Unit(unit);
  }
}

void transform(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<float> x = uniform(1, qx::kFftInputFloats, -1.0f, 1.0f);
  std::vector<float> out(qx::kFftOutputFloats), work(qx::kFftWorkFloats);
  for (auto _ : state) {
    kernels.real_fft(x.data(), out.data(), work.data());
    benchmark::ClobberMemory();
  }
}

void bin_powers(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<float> spectrum = uniform(2, qx::kFftOutputFloats, -1.0f, 1.0f);
  std::vector<float> power(qx::kFftBinCount);
  for (auto _ : state) {
    kernels.bin_powers(spectrum.data(), power.data());
    benchmark::ClobberMemory();
  }
}

void mel_energies(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<float> power = uniform(4, qx::kFftBinCount, 0.0f, 1.0f);
  std::vector<float> energies(qx::kMelBandCount);
  for (auto _ : state) {
    kernels.mel_energies(power.data(), energies.data(), qx::kMelBandCount);
    benchmark::ClobberMemory();
  }
}

// The logarithms of one row of 40 bands.
void log10_row(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<float> x = band_energies();
  std::vector<float> out(x.size());
  for (auto _ : state) {
    kernels.log10(x.data(), out.data(), static_cast<int32_t>(x.size()));
    benchmark::ClobberMemory();
  }
}

void log_mel_frame(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<int16_t> pcm = qx_bench::speech_like_frame();
  const std::vector<float> window = uniform(5, qx::kFftInputFloats, 0.0f, 1.0f);
  std::vector<float> frame(qx::kFftInputFloats);
  for (auto _ : state) {
    kernels.log_mel_frame(pcm.data(), 4096, window.data(), frame.data());
    benchmark::ClobberMemory();
  }
}

void vad_frame(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<int16_t> pcm = qx_bench::speech_like_frame();
  std::vector<float> history(qx::kVadHop), frame(2 * qx::kVadHop);
  for (auto _ : state) {
    kernels.vad_frame(pcm.data(), 0, history.data(), frame.data());
    benchmark::ClobberMemory();
  }
}

// One detector front-end call: 256 samples to 40 values.
void vad_front_end(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  qx::front_end_testing::use_kernels(&kernels);
  const std::vector<int16_t> pcm = qx_bench::speech_like_frame();
  qx::VadHistory history{qx::kVadHop, {}};
  qx::VadFrontEnd front_end{qx::kVadHop, 0, &history};
  int16_t out[qx::kVadBands];
  size_t hop = 0;
  for (auto _ : state) {
    qx::vad_front_end(&front_end, pcm.data() + hop, out);
    benchmark::DoNotOptimize(out);
    hop = (hop + qx::kVadHop) % pcm.size();
  }
  qx::front_end_testing::use_kernels(nullptr);
}

// The log-mel features of one frame (128 windows); microseconds.
void log_mel_features(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  qx::DeviceContext *context = nullptr;
  if (qx::open_device("cpu:1", "cpu:1", &context) != QX_STATUS_SUCCESS) {
    state.SkipWithError("no CPU device");
    return;
  }
  qx::front_end_testing::use_kernels(&kernels);
  const std::vector<int16_t> pcm = qx_bench::speech_like_frame();
  const std::vector<float> window = uniform(6, qx::kFftInputFloats, 0.0f, 1.0f);
  const std::vector<float> mean(qx::kMelBandCount, -3.0f), deviation(qx::kMelBandCount, 1.5f);
  const qx::LogMelSettings settings{256,         qx::kMelBandCount, 1e-6f,
                                    mean.data(), deviation.data(),  window.data()};
  for (auto _ : state) {
    qx::TensorBuffer *features = nullptr;
    if (qx::extract_log_mel_features(context, &settings, pcm.data(), 2 * qx::kMelBandCount,
                                     &features) != QX_STATUS_SUCCESS) {
      state.SkipWithError("feature extraction failed");
      break;
    }
    qx::recycle_buffer(context, features);
  }
  qx::front_end_testing::use_kernels(nullptr);
  qx::release_device_context(context);
}

// fixed_log10_q10 over one row of 40 band energies; the portable set calls
// the scalar function, which normalises with a count of leading zeros.
void fixed_log10_row(benchmark::State &state, const qx::FrontEndKernels &kernels) {
  const std::vector<float> energies = band_energies();
  int16_t out[qx::kMelBandCount];
  for (auto _ : state) {
    kernels.fixed_log10_q10(energies.data(), out, qx::kMelBandCount);
    benchmark::DoNotOptimize(out);
  }
}

// The same row by the doubling loop that the scalar function replaced.
void BM_FixedLog10Row_by_doubling(benchmark::State &state) {
  const std::vector<float> energies = band_energies();
  for (auto _ : state) {
    for (float e : energies) benchmark::DoNotOptimize(qx_test::fixed_log10_q10_by_doubling(e));
  }
}
BENCHMARK(BM_FixedLog10Row_by_doubling);

}  // namespace

int main(int argc, char **argv) {
  register_per_set("Transform", transform);
  register_per_set("BinPowers", bin_powers);
  register_per_set("MelEnergies", mel_energies);
  register_per_set("FixedLog10Row", fixed_log10_row);
  register_per_set("Log10Row", log10_row);
  register_per_set("LogMelFrame", log_mel_frame);
  register_per_set("VadFrame", vad_frame);
  register_per_set("VadFrontEnd", vad_front_end);
  register_per_set("LogMelFeatures", log_mel_features, benchmark::kMicrosecond);
  return qx_bench::run_benchmarks(argc, argv);
}
