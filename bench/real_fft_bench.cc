// Nanoseconds per 512-point real transform, per entry point.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench_context.h"
#include "frontend/real_fft.h"


namespace {

std::vector<float> noise() {
  std::mt19937 generator(1);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  std::vector<float> x(qx::kFftInputFloats);
  for (float &v : x) v = sample(generator);
  return x;
}

// Allocates and frees its working buffer on every call.
void BM_RealFft512Allocating(benchmark::State &state) {
  const std::vector<float> x = noise();
  std::vector<float> out(qx::kFftOutputFloats);
  for (auto _ : state) {
    benchmark::DoNotOptimize(qx::real_fft_512(x.data(), out.data()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RealFft512Allocating);

// The caller's working buffer: the path that allocates nothing.
void BM_RealFft512WithBuffer(benchmark::State &state) {
  const std::vector<float> x = noise();
  std::vector<float> out(qx::kFftOutputFloats);
  alignas(32) float work[qx::kFftWorkFloats];
  for (auto _ : state) {
    qx::real_fft_512_with_buffer(x.data(), out.data(), work);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RealFft512WithBuffer);

}  // namespace

QX_BENCHMARK_MAIN()
