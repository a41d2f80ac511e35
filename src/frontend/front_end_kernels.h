// The front ends' inner loops, one set per instruction set, chosen once per
// process: x86-64 processors with usable AVX2 get the 256-bit set, every
// other processor and build the portable one. Each set evaluates the same
// float32 expressions, associated the same way, per element, so every set
// returns the portable set's bits for every input.
#pragma once

#include <cstdint>

namespace qx {

struct FrontEndKernels {
  const char *name;  // "portable", "avx2"
  // real_fft_512_with_buffer (frontend/real_fft.h).
  void (*real_fft)(const float *input, float *output, float *work);
  // power[k] = re[k] * re[k] + im[k] * im[k] for the 257 bins of a spectrum.
  void (*bin_powers)(const float *spectrum, float *power);
  // Energies of mel bands 0 .. bands - 1 (bands <= 40) from 257 bin powers,
  // each the bits of mel_band_energy. May also write energies[bands .. 39].
  // Bin powers must be finite and not negative.
  void (*mel_energies)(const float *power, float *energies, int32_t bands);
  // out[i] = fixed_log10_q10(energies[i]) for i < n (frontend/vad_front_end.h).
  void (*fixed_log10_q10)(const float *energies, int16_t *out, int32_t n);
  // out[i] = (float)log10((double)x[i]) for i < n: the logarithm of the
  // widened value, rounded once, for any x (zero, negative, NaN included).
  void (*log10)(const float *x, float *out, int32_t n);
  // The log-mel analysis frame of the 512 samples before `end` (>= 1):
  // frame[i] = e[end - 512 + i] * window[i], where e[m] = s[m] - 0.97 s[m-1],
  // s[m] = pcm[m] * 2^-15, s[-1] = 0, and e[m] = 0 before the first sample.
  void (*log_mel_frame)(const int16_t *pcm, int32_t end, const float *window, float *frame);
  // The voice detector's frame: the 256 pre-emphasised samples of the
  // previous call (`history`) followed by e[i] = x[i] - 0.97 x[i-1] of the
  // 256 new raw samples (x[-1] = `previous_sample`), weighted by the Hann
  // window's two mirrored halves; `history` becomes e.
  void (*vad_frame)(const int16_t *samples, int16_t previous_sample, float *history, float *frame);
};

// The sets this processor can run, the portable one first and the process's
// choice last.
struct FrontEndKernelChoice {
  const FrontEndKernels *sets[2];
  int32_t count;
};
FrontEndKernelChoice usable_front_end_kernels();

// The process's set (the last usable one), unless a test chose another.
const FrontEndKernels &front_end_kernels();

namespace front_end_testing {
// Makes front_end_kernels() return `kernels` until called again; null goes
// back to the process's choice. Not for concurrent use.
void use_kernels(const FrontEndKernels *kernels);
}  // namespace front_end_testing

}  // namespace qx
