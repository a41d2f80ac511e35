// The AVX2 set of front-end loops (see front_end_kernels.h for what each
// computes). Compiled only for x86-64; each function carries its own target
// attribute, so portable code never runs an AVX2 instruction by accident.
#pragma once

#if !defined(__x86_64__)
#error "x86 front-end variants built for a processor that is not x86-64"
#endif

#include <cstdint>

// AVX2 without fused multiply-add: every product is rounded on its own, as
// in the portable set.
#define QX_FRONT_END_AVX2 __attribute__((target("avx2")))

namespace qx {

void real_fft_512_avx2(const float *input, float *output, float *work);
void bin_powers_avx2(const float *spectrum, float *power);
void mel_energies_avx2(const float *power, float *energies, int32_t bands);
void fixed_log10_q10_avx2(const float *energies, int16_t *out, int32_t n);
void log10_avx2(const float *x, float *out, int32_t n);
void log_mel_frame_avx2(const int16_t *pcm, int32_t end, const float *window, float *frame);
void vad_frame_avx2(const int16_t *samples, int16_t previous_sample, float *history, float *frame);

}  // namespace qx
