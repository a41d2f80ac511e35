// qx_orb_process per 32768-sample frame with the default model shape (40
// bands, hop 256, level-0 input 80, two levels of 96), on one and two CPU
// threads, reference operators only: the end-to-end baseline.
//
// Unvoiced: a frame of silence under a gate of 0.5, so only the 64 detector
// steps run. Voiced: a loud sawtooth under a gate of 0, so features, the
// classifier and the head run as well.
//
// Counters: ms_per_frame (wall time) and realtime_factor, the frame's 2.048 s
// of audio over the wall time it took. Both come from a steady clock around
// the timed loop (whole frames of at least half a millisecond, so its own cost
// does not show); the engine's work may spread over the pool, so the reported
// time is real time too.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "model_writer.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace {

constexpr int kFrameSamples = 32768;
constexpr double kFrameSeconds = kFrameSamples / 16000.0;

// The default-shape model, written once per process and removed at exit.
class DefaultModelFile {
 public:
  DefaultModelFile() : path_(std::string(P_tmpdir) + "/qx_engine_bench_default.qx") {
    qx_tools::write_file(path_, qx_tools::encode(qx_tools::default_model(1)));
  }
  ~DefaultModelFile() { std::remove(path_.c_str()); }
  const char *path() const { return path_.c_str(); }

 private:
  std::string path_;
};

const char *model_path() {
  static const DefaultModelFile file;
  return file.path();
}

std::vector<int16_t> silence() { return std::vector<int16_t>(kFrameSamples, 0); }

// 125 Hz sawtooth plus generator noise: what the detector calls voice.
std::vector<int16_t> loud_sawtooth() {
  std::vector<int16_t> frame(kFrameSamples);
  uint32_t state = 1;
  for (int i = 0; i < kFrameSamples; ++i) {
    state = state * 1664525u + 1013904223u;
    frame[i] =
        static_cast<int16_t>((i % 128) * 256 - 16384 + static_cast<int32_t>(state >> 22) - 512);
  }
  return frame;
}

void run_engine(benchmark::State &state, const std::vector<int16_t> &frame, float threshold,
                bool expect_scores) {
  const std::string device = "cpu:" + std::to_string(state.range(0));
  QxOrb *orb = nullptr;
  if (qx_orb_init(model_path(), device.c_str(), threshold, &orb) != QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  // Pins the baseline to the reference operators even once CPU kernels exist.
  orb->device_context->flags |= qx::kContextReferenceOnly;

  // One frame outside the timing: fills the buffer cache and checks the gate.
  float *scores = nullptr;
  if (qx_orb_process(orb, frame.data(), &scores) != QX_STATUS_SUCCESS ||
      (scores != nullptr) != expect_scores) {
    state.SkipWithError("the warm-up frame was not processed as expected");
  }
  qx_orb_scores_delete(scores);

  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    scores = nullptr;
    const QxStatus status = qx_orb_process(orb, frame.data(), &scores);
    benchmark::DoNotOptimize(status);
    qx_orb_scores_delete(scores);
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  qx_orb_delete(orb);

  if (state.iterations() > 0 && elapsed.count() > 0) {
    const double seconds_per_frame = elapsed.count() / static_cast<double>(state.iterations());
    state.counters["ms_per_frame"] = 1e3 * seconds_per_frame;
    state.counters["realtime_factor"] = kFrameSeconds / seconds_per_frame;
  }
}

void BM_ProcessUnvoicedFrame(benchmark::State &state) { run_engine(state, silence(), 0.5f, false); }
BENCHMARK(BM_ProcessUnvoicedFrame)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ProcessVoicedFrame(benchmark::State &state) {
  run_engine(state, loud_sawtooth(), 0.0f, true);
}
BENCHMARK(BM_ProcessVoicedFrame)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
