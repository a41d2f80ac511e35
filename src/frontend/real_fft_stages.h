// The butterfly stages of real_fft_512's 256-point complex transform, shared
// by the portable and the vector code. The working buffer holds the 256 real
// parts followed by the 256 imaginary parts.
#pragma once

namespace qx {

// Stage s (0..7) of radix-2 decimation in time, in place: half = 2^s, groups
// of 2 * half values starting at base = g * 2 * half, and for j < half with
// top = base + j, bottom = top + half, sn = QX_FFT_SINE_TABLE[j * (256 >> s)],
// cs = the entry 128 further on:
//   t.re = bottom.re * cs + bottom.im * sn
//   t.im = bottom.im * cs - bottom.re * sn      (t = bottom * e^(-i*angle))
//   top' = top + t, bottom' = top - t
// Every variant evaluates exactly these expressions per element, so all of
// them give the same bits.
void fft_stage_scalar(float *re, float *im, int s);

#if defined(__SSE2__)
// Four butterflies per instruction; needs half >= 4 (s >= 2). SSE2 is part of
// every x86-64 processor, so this variant is chosen when compiling.
void fft_stage_sse2(float *re, float *im, int s);
#endif

}  // namespace qx
