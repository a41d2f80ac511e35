// Whole frames through qx_orb_process on the default-shape model (or the
// file QX_BENCH_MODEL names): an unvoiced frame (voice detector only) and a
// voiced one (detector, log-mel features, classifier), on 1 and 2 threads,
// with the CPU kernels and with the context's reference-only flag. The time
// column is milliseconds per frame; RTF is the real-time factor (processing
// time / 2.048 s of audio).
//
// Wall-clock time: with 2 threads the workers' time is not the caller's.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_context.h"
#include "bench_signals.h"
#include "engine/engine.h"
#include "frontend/log_mel.h"
#include "frontend/vad_front_end.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace {

constexpr double kFrameSeconds = 32768.0 / 16000.0;

using qx_bench::model_path;
using qx_bench::speech_like_frame;

// Arguments: voiced (0/1), threads, kernels (1) or reference only (0).
// Voiced frames run with threshold 0, so the classifier always runs whatever
// the detector says; unvoiced frames with threshold 1 on
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
  qx_bench::process_frames(state, orb, frame, voiced);
  qx_orb_delete(orb);
  // Seconds of processing per second of audio; printed with an SI prefix
  // (531u is 0.000531).
  using benchmark::Counter;
  state.counters["RTF"] =
      Counter(kFrameSeconds, Counter::kIsIterationInvariantRate | Counter::kInvert);
}
BENCHMARK(BM_qx_orb_process)
    ->ArgNames({"voiced", "threads", "kernels"})
    ->ArgsProduct({{0, 1}, {1, 2}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Voiced frames of models with both levels of 256 or 384 hidden units, on
// cpu:1 and cpu:2: the shapes whose dense layers are large enough for the
// worker pool (kernel_plan.cc), where two threads must not be slower than
// one.
void BM_qx_orb_process_hidden(benchmark::State &state) {
  const auto hidden = static_cast<int32_t>(state.range(0));
  const std::string device = "cpu:" + std::to_string(state.range(1));
  QxOrb *orb = nullptr;
  if (qx_orb_init(qx_bench::model_path_with_hidden(hidden).c_str(), device.c_str(), 0.0f, &orb) !=
      QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  const std::vector<int16_t> frame = speech_like_frame();
  qx_bench::process_frames(state, orb, frame, true);
  qx_orb_delete(orb);
}
BENCHMARK(BM_qx_orb_process_hidden)
    ->ArgNames({"hidden", "threads"})
    ->ArgsProduct({{256, 384}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// N engines (cpu:1 each) on N host threads, each processing frames of its
// own. With several threads the time column is the wall time divided by
// the frames of all engines, so its inverse is the frames per second of
// them all. Engines share nothing per frame (the error stack's reset takes
// no lock), so on N free cores N engines should come close to N times one.
void BM_engines_on_threads(benchmark::State &state) {
  const bool voiced = state.range(0) != 0;
  QxOrb *orb = nullptr;
  if (qx_orb_init(model_path().c_str(), "cpu:1", voiced ? 0.0f : 1.0f, &orb) !=
      QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  const std::vector<int16_t> frame = speech_like_frame();
  qx_bench::process_frames(state, orb, frame, voiced);
  qx_orb_delete(orb);
}
BENCHMARK(BM_engines_on_threads)
    ->ArgName("voiced")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The part of a frame that runs no operator at all: the detector's
// fixed-point front end on all 64 chunks (two 256-sample passes each) and,
// for a voiced frame, the log-mel features. No kernel can make a frame
// faster than this, which bounds the kernels-to-reference ratios above.
void BM_frame_without_operators(benchmark::State &state) {
  const bool voiced = state.range(0) != 0;
  QxOrb *orb = nullptr;
  if (qx_orb_init(model_path().c_str(), "cpu:1", 0.0f, &orb) != QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  qx::DeviceContext *context = orb->device_context;
  const qx::LogMelSettings settings = qx::log_mel_settings(*orb->model.feature_settings);
  const int32_t input_size = orb->model.recurrent_stack->forward_layers[0].input_size;
  const std::vector<int16_t> frame = speech_like_frame();
  qx::VadHistory history{qx::kVadHop, {}};
  qx::VadFrontEnd front_end{qx::kVadHop, 0, &history};
  int16_t rows[qx::kVadBands];
  for (auto _ : state) {
    for (size_t hop = 0; hop < frame.size(); hop += qx::kVadHop) {
      qx::vad_front_end(&front_end, frame.data() + hop, rows);
      benchmark::DoNotOptimize(rows);
    }
    if (voiced) {
      qx::TensorBuffer *features = nullptr;
      if (qx::extract_log_mel_features(context, &settings, frame.data(), input_size, &features) !=
          QX_STATUS_SUCCESS) {
        state.SkipWithError("feature extraction failed");
        break;
      }
      qx::recycle_buffer(context, features);
    }
  }
  qx_orb_delete(orb);
}
BENCHMARK(BM_frame_without_operators)
    ->ArgName("voiced")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

QX_BENCHMARK_MAIN()
