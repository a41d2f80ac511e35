// The main function of every benchmark program: Google Benchmark's, plus the
// processor feature bits the library detects, so that each report says which
// kernel variants it measured.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/cpu_backend.h"
#include "platform/platform.h"
#include "qx_orb.h"

namespace qx_bench {

// "5 (sse4.1 avx2)": a feature-bit value and the bits' names.
inline std::string isa_flags_text(uint32_t flags) {
  static const struct {
    uint32_t bit;
    const char *name;
  } kBits[] = {{qx::CPU_SSE4_1, "sse4.1"},
               {qx::CPU_AVX, "avx"},
               {qx::CPU_AVX2, "avx2"},
               {qx::CPU_AVX512F, "avx512f"},
               {qx::CPU_NEON, "neon"},
               {qx::CPU_AVXVNNI, "avx-vnni"},
               {qx::CPU_AVX512BW, "avx512bw"},
               {qx::CPU_AVX512VNNI, "avx512vnni"}};
  std::string names;
  for (const auto &b : kBits) {
    if (flags & b.bit) names += (names.empty() ? "" : " ") + std::string(b.name);
  }
  return std::to_string(flags) + " (" + (names.empty() ? "portable only" : names) + ")";
}

inline int run_benchmarks(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const uint32_t isa_flags = qx::platform::detect_isa_flags();
  benchmark::AddCustomContext("qx_isa_flags", isa_flags_text(isa_flags));
  // What the kernels use: the processor's bits and the wider dense variants
  // the operating system lets run.
  benchmark::AddCustomContext("qx_kernel_flags", isa_flags_text(qx::usable_isa_flags(isa_flags)));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// The timed loop of every whole-frame benchmark: `frame` through
// qx_orb_process until the benchmark has enough iterations. A failure, or a
// frame whose voicing is not `voiced`, stops it with an error: timing the
// wrong path would report a figure for something else.
inline void process_frames(benchmark::State &state, QxOrb *orb, const std::vector<int16_t> &frame,
                           bool voiced) {
  for (auto _ : state) {
    float *scores = nullptr;
    if (qx_orb_process(orb, frame.data(), &scores) != QX_STATUS_SUCCESS ||
        (scores != nullptr) != voiced) {
      state.SkipWithError("unexpected result from qx_orb_process");
      break;
    }
    qx_orb_scores_delete(scores);
  }
}

}  // namespace qx_bench

#define QX_BENCHMARK_MAIN() \
  int main(int argc, char **argv) { return qx_bench::run_benchmarks(argc, argv); }
