// The portable set of front-end loops (see front_end_kernels.h for what each
// computes): plain scalar code, the definition every other set must match.
#pragma once

#include <cstdint>

namespace qx {

void real_fft_512_portable(const float *input, float *output, float *work);
void bin_powers_portable(const float *spectrum, float *power);
void mel_energies_portable(const float *power, float *energies, int32_t bands);
void fixed_log10_q10_portable(const float *energies, int16_t *out, int32_t n);
void log10_portable(const float *x, float *out, int32_t n);
void log_mel_frame_portable(const int16_t *pcm, int32_t end, const float *window, float *frame);
void vad_frame_portable(const int16_t *samples, int16_t previous_sample, float *history,
                        float *frame);

}  // namespace qx
