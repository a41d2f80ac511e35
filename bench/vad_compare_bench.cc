// The voice detector's cost per second of audio against WebRTC's voice
// activity detector in the same run, both on one thread, both as a host
// would call them:
//   BM_detector_per_audio_second   qx_orb_process on frames that the gate
//                                  rejects (threshold 1): the 64 detector
//                                  steps of a frame and nothing else
//   BM_webrtc_vad_per_audio_second AudioProcessing (Debian's
//                                  webrtc-audio-processing) with only voice
//                                  detection on, 16 kHz mono, 10 ms frames
//   BM_webrtc_apm_per_audio_second the same with voice detection off: the
//                                  cost of the processing framework around
//                                  the detector (copies, bookkeeping)
// The counter "cost" is processor seconds per second of audio (CPU time, so
// other load on the machine weighs less). Built only where pkg-config finds
// webrtc-audio-processing.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include "bench_context.h"
#include "bench_signals.h"
#include "qx_orb.h"

namespace {

constexpr double kFrameSeconds = 32768.0 / 16000.0;
constexpr int kWebrtcFrameSamples = 160;  // 10 ms at 16 kHz

using benchmark::Counter;

void BM_detector_per_audio_second(benchmark::State &state) {
  QxOrb *orb = nullptr;
  if (qx_orb_init(qx_bench::model_path().c_str(), "cpu:1", 1.0f, &orb) != QX_STATUS_SUCCESS) {
    state.SkipWithError("qx_orb_init failed");
    return;
  }
  const std::vector<int16_t> frame = qx_bench::speech_like_frame();
  qx_bench::process_frames(state, orb, frame, false);
  qx_orb_delete(orb);
  state.counters["cost"] = Counter(kFrameSeconds, Counter::kIsIterationInvariantRate | Counter::kInvert);
}
BENCHMARK(BM_detector_per_audio_second)->Unit(benchmark::kMillisecond);

// One iteration: the same 2.048 s of audio as a detector frame, in 10 ms
// frames (204 of them, 2.04 s).
void webrtc_per_audio_second(benchmark::State &state, bool detect) {
  std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
  if (!apm || apm->voice_detection()->Enable(detect) != webrtc::AudioProcessing::kNoError) {
    state.SkipWithError("AudioProcessing could not be set up");
    return;
  }
  const std::vector<int16_t> audio = qx_bench::speech_like_frame();
  const int frames = static_cast<int>(audio.size()) / kWebrtcFrameSamples;
  webrtc::AudioFrame frame;
  int voiced = 0;
  for (auto _ : state) {
    for (int f = 0; f < frames; ++f) {
      frame.sample_rate_hz_ = 16000;
      frame.num_channels_ = 1;
      frame.samples_per_channel_ = kWebrtcFrameSamples;
      std::memcpy(frame.data_, audio.data() + f * kWebrtcFrameSamples,
                  kWebrtcFrameSamples * sizeof(int16_t));
      if (apm->ProcessStream(&frame) != webrtc::AudioProcessing::kNoError) {
        state.SkipWithError("ProcessStream failed");
        return;
      }
      voiced += detect && apm->voice_detection()->stream_has_voice();
    }
  }
  benchmark::DoNotOptimize(voiced);
  const double seconds = frames * kWebrtcFrameSamples / 16000.0;
  state.counters["cost"] = Counter(seconds, Counter::kIsIterationInvariantRate | Counter::kInvert);
  if (detect) {
    state.counters["voiced_share"] =
        static_cast<double>(voiced) / (static_cast<double>(state.iterations()) * frames);
  }
}

void BM_webrtc_vad_per_audio_second(benchmark::State &state) {
  webrtc_per_audio_second(state, true);
}
BENCHMARK(BM_webrtc_vad_per_audio_second)->Unit(benchmark::kMillisecond);

void BM_webrtc_apm_per_audio_second(benchmark::State &state) {
  webrtc_per_audio_second(state, false);
}
BENCHMARK(BM_webrtc_apm_per_audio_second)->Unit(benchmark::kMillisecond);

}  // namespace

QX_BENCHMARK_MAIN()
