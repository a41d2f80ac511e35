#include "frontend/vad_front_end.h"

#include "frontend/mel_filterbank.h"
#include "frontend/real_fft.h"
#include "frontend/vad_tables.h"

namespace qx {
namespace {
constexpr float kPreEmphasis = 0.97f;
}  // namespace

int16_t fixed_log10_q10(float energy) {
  const float scaled = energy * 8589934592.0f;  // 2^33
  if (scaled >= 9.223372e18f) return 0;         // 2^63: at or above 2^30
  uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(scaled));
  if (v == 0) return -32768;
  int32_t octaves = 0;
  if (v > (uint64_t{1} << 30) - 1) {
    v >>= 1;
    octaves = -1;
  }
  // Normalise to [2^61, 2^62): the top 10 bits below the leading one index
  // the table of log10 over one octave. v < 2^62 here, so the shift is >= 0.
  const int shift = __builtin_clzll(v) - 2;
  v <<= shift;
  octaves += shift;
  const int64_t index = static_cast<int64_t>((v + (uint64_t{1} << 51)) >> 52) - 512;
  const int32_t result = QX_LOG10_Q10_TABLE[index] - 308 * octaves;
  return static_cast<int16_t>(result < -32768 ? -32768 : result > 32767 ? 32767 : result);
}

QxStatus vad_front_end(VadFrontEnd *front_end, const int16_t *samples, int16_t *out) {
  // Pre-emphasis in raw sample units, against the previous call's last sample.
  float frame[2 * kVadHop];
  float *emphasised = frame + kVadHop;
  float previous = static_cast<float>(front_end->previous_sample);
  for (int i = 0; i < kVadHop; ++i) {
    const float sample = static_cast<float>(samples[i]);
    emphasised[i] = sample - kPreEmphasis * previous;
    previous = sample;
  }
  front_end->previous_sample = samples[kVadHop - 1];

  float *history = front_end->history->samples;
  for (int i = 0; i < kVadHop; ++i) {
    const float older = history[i];
    history[i] = emphasised[i];
    frame[i] = older;
  }
  for (int n = 0; n < kVadHop; ++n) {
    frame[n] *= QX_VAD_WINDOW_TABLE[n];
    frame[2 * kVadHop - 1 - n] *= QX_VAD_WINDOW_TABLE[n];
  }

  float spectrum[kFftOutputFloats];
  float work[kFftWorkFloats];
  float power[kFftBinCount];
  real_fft_512_with_buffer(frame, spectrum, work);
  for (int k = 0; k < kFftBinCount; ++k) {
    power[k] = spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1];
  }
  for (int b = 0; b < kVadBands; ++b) {
    out[b] = mel_band_is_empty(b) ? int16_t{-32768} : fixed_log10_q10(mel_band_energy(power, b));
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
