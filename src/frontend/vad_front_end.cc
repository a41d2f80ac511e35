#include "frontend/vad_front_end.h"

#include "frontend/front_end_kernels.h"
#include "frontend/mel_filterbank.h"
#include "frontend/real_fft.h"
#include "frontend/vad_tables.h"

namespace qx {

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
  const FrontEndKernels &kernels = front_end_kernels();
  float frame[2 * kVadHop];
  float spectrum[kFftOutputFloats];
  float work[kFftWorkFloats];
  float power[kFftBinCount];
  float energies[kVadBands];
  kernels.vad_frame(samples, front_end->previous_sample, front_end->history->samples, frame);
  front_end->previous_sample = samples[kVadHop - 1];
  kernels.real_fft(frame, spectrum, work);
  kernels.bin_powers(spectrum, power);
  kernels.mel_energies(power, energies, kVadBands);
  kernels.fixed_log10_q10(energies, out, kVadBands);
  for (int b = 0; b < kVadBands; ++b) {
    if (mel_band_is_empty(b)) out[b] = -32768;
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
