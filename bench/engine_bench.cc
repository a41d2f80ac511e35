// Whole frames through qx_orb_process on the default-shape model: an
// unvoiced frame (voice detector only) and a voiced one (detector, log-mel
// features, classifier), on 1 and 2 threads, with the CPU kernels and with
// the context's reference-only flag. Reported per frame in milliseconds and
// as the real-time factor (processing time / 2.048 s of audio).
//
// Wall-clock time: with 2 threads the workers' time is not the caller's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_context.h"
#include "engine/engine.h"
#include "model_writer.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace {

constexpr double kFrameSeconds = 32768.0 / 16000.0;

// The default-shape model, written once per process.
const std::string &model_path() {
  static const std::string path = [] {
    const char *directory = std::getenv("TMPDIR");
    std::string made = std::string(directory ? directory : "/tmp") + "/qx_engine_bench_" +
                       std::to_string(static_cast<long>(::getpid())) + ".qx";
    qx_tools::write_file(made, qx_tools::encode(qx_tools::default_model(7)));
    std::atexit([] { std::remove(model_path().c_str()); });
    return made;
  }();
  return path;
}

std::vector<int16_t> speech_like_frame() {
  std::vector<int16_t> frame(32768);
  uint32_t state = 12345;
  for (size_t i = 0; i < frame.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double t = i / 16000.0;
    const double voice = 9000 * std::sin(2 * M_PI * (150 + 40 * std::sin(2 * M_PI * 3 * t)) * t) *
                         (0.5 + 0.5 * std::sin(2 * M_PI * 4 * t));
    frame[i] = static_cast<int16_t>(voice + static_cast<int32_t>(state >> 20) - 2048);
  }
  return frame;
}

// Arguments: voiced (0/1), threads, kernels (1) or reference only (0).
// Voiced frames run with threshold 0, so the classifier always runs whatever
// the detector's interim weights say; unvoiced frames with threshold 1 on
// the same audio, so only the detector runs. The detector's work does not
// depend on the samples.
void BM_qx_orb_process(benchmark::State &state) {
  const bool voiced = state.range(0) != 0;
  const std::string device = "cpu:" + std::to_string(state.range(1));
  const bool kernels = state.range(2) != 0;
  QxOrb *orb = nullptr;
  if (qx_orb_init(model_path().c_str(), device.c_str(), voiced ? 0.0f : 1.0f, &orb) !=
      QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  if (!kernels) orb->device_context->flags |= qx::kContextReferenceOnly;
  const std::vector<int16_t> frame = speech_like_frame();
  for (auto _ : state) {
    float *scores = nullptr;
    if (qx_orb_process(orb, frame.data(), &scores) != QX_STATUS_SUCCESS ||
        (scores != nullptr) != voiced) {
      state.SkipWithError("unexpected result from qx_orb_process");
      break;
    }
    qx_orb_scores_delete(scores);
  }
  qx_orb_delete(orb);
  using benchmark::Counter;
  state.counters["ms/frame"] = Counter(1e-3, Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["RTF"] =
      Counter(kFrameSeconds, Counter::kIsIterationInvariantRate | Counter::kInvert);
}
BENCHMARK(BM_qx_orb_process)
    ->ArgNames({"voiced", "threads", "kernels"})
    ->ArgsProduct({{0, 1}, {1, 2}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

QX_BENCHMARK_MAIN()
