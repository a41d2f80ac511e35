// Frames per second through qx_orb_process on each device string: "cpu:1",
// "cpu" (half the logical processors) and "gpu". Here "gpu" is the GPU
// library's host emulation (QX_BENCH_CUDA_LIBRARY names another build of
// it): its figures measure the binding and the staging traffic, not a GPU.
// For "gpu" the counters also give the library's host <-> device copies
// and launches per frame, the round trips a batched mode would share.
//
// Voiced frames run the detector, the features and the classifier
// (threshold 0); unvoiced ones only the detector (threshold 1).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend.h"
#include "bench_context.h"
#include "bench_signals.h"
#include "cuda/cuda_library.h"
#include "engine/engine.h"
#include "qx_orb.h"
#include "runtime/device_context.h"

namespace {

using qx_bench::model_path;
using qx_bench::speech_like_frame;

constexpr const char *kDevices[] = {"cpu:1", "cpu", "gpu"};

// Arguments: device (index into kDevices), voiced (0/1).
void BM_frames_per_second(benchmark::State &state) {
  const char *device = kDevices[state.range(0)];
  const bool voiced = state.range(1) != 0;
  state.SetLabel(device);
  QxOrb *orb = nullptr;
  if (qx_orb_init(model_path().c_str(), device, voiced ? 0.0f : 1.0f, &orb) != QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  const bool on_gpu = orb->device_context->device_type == qx::kDeviceCuda;
  const auto *gpu =
      on_gpu ? static_cast<const ypu::Backend *>(orb->device_context->backend) : nullptr;
  const ypu::TransferCounts before = gpu ? gpu->counts : ypu::TransferCounts{};
  const std::vector<int16_t> frame = speech_like_frame();
  qx_bench::process_frames(state, orb, frame, voiced);
  using benchmark::Counter;
  state.counters["frames/s"] = Counter(static_cast<double>(state.iterations()), Counter::kIsRate);
  if (gpu) {
    const double frames = static_cast<double>(state.iterations());
    state.counters["uploads/frame"] = (gpu->counts.uploads - before.uploads) / frames;
    state.counters["downloads/frame"] = (gpu->counts.downloads - before.downloads) / frames;
    state.counters["launches/frame"] = (gpu->counts.launches - before.launches) / frames;
  }
  qx_orb_delete(orb);
}
BENCHMARK(BM_frames_per_second)
    ->ArgNames({"device", "voiced"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Points the binding at the library to measure before anything opens "gpu".
struct ChosenLibrary {
  ChosenLibrary() {
    const char *given = std::getenv("QX_BENCH_CUDA_LIBRARY");
    qx::cuda_testing::use_library(given ? given : QX_BENCH_CUDA_LIBRARY);
  }
} chosen_library;

}  // namespace

QX_BENCHMARK_MAIN()
