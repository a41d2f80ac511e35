// The front ends' elementwise loops in plain scalar code. The transform
// lives in real_fft.cc and the band sums in mel_filterbank.cc.
#include "frontend/front_end_portable.h"

#include <cmath>

#include "frontend/real_fft.h"
#include "frontend/vad_front_end.h"
#include "frontend/vad_tables.h"

namespace qx {
namespace {

constexpr int kWindow = kFftInputFloats;
constexpr float kSampleScale = 3.0517578e-05f;  // 2^-15: int16 to [-1, 1)
constexpr float kPreEmphasis = 0.97f;

}  // namespace

void bin_powers_portable(const float *spectrum, float *power) {
  for (int k = 0; k < kFftBinCount; ++k) {
    power[k] = spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1];
  }
}

void fixed_log10_q10_portable(const float *energies, int16_t *out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) out[i] = fixed_log10_q10(energies[i]);
}

void log10_portable(const float *x, float *out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    out[i] = static_cast<float>(std::log10(static_cast<double>(x[i])));
  }
}

void log_mel_frame_portable(const int16_t *pcm, int32_t end, const float *window, float *frame) {
  const int32_t start = end - kWindow;
  int32_t i = 0;
  for (; start + i < 0; ++i) frame[i] = 0.0f * window[i];  // before the first sample
  float previous = start + i > 0 ? static_cast<float>(pcm[start + i - 1]) * kSampleScale : 0.0f;
  for (; i < kWindow; ++i) {
    const float sample = static_cast<float>(pcm[start + i]) * kSampleScale;
    frame[i] = (sample - kPreEmphasis * previous) * window[i];
    previous = sample;
  }
}

void vad_frame_portable(const int16_t *samples, int16_t previous_sample, float *history,
                        float *frame) {
  float *emphasised = frame + kVadHop;
  float previous = static_cast<float>(previous_sample);
  for (int i = 0; i < kVadHop; ++i) {
    const float sample = static_cast<float>(samples[i]);
    emphasised[i] = sample - kPreEmphasis * previous;
    previous = sample;
  }
  for (int i = 0; i < kVadHop; ++i) {
    const float older = history[i];
    history[i] = emphasised[i];
    frame[i] = older;
  }
  for (int n = 0; n < kVadHop; ++n) {
    frame[n] *= QX_VAD_WINDOW_TABLE[n];
    frame[2 * kVadHop - 1 - n] *= QX_VAD_WINDOW_TABLE[n];
  }
}

}  // namespace qx
