// The library's one spectral transform: a forward DFT of 512 real float32
// samples, computed as a 256-point complex radix-2 transform followed by the
// split step that separates the even and odd halves.
//
// Input: 512 float32 samples x[0..511], read as 256 complex values
//   z[n] = x[2n] + i*x[2n+1].
// Output: 257 complex bins k = 0..256 (k * 31.25 Hz at 16 kHz), interleaved
//   as out[2k] = real, out[2k+1] = imaginary: 514 float32 values. Bins above
//   256 (the mirror image) are not produced. The imaginary parts of bin 0
//   (DC) and bin 256 (Nyquist) are always exactly +0.
// Scaling, with X[k] = sum_n x[n] e^(-2*pi*i*k*n/512): out[k] = X[k] / 256 for
//   1 <= k <= 255 and out[k] = X[k] / 512 for k = 0 and 256, i.e. the
//   single-sided amplitude spectrum: a sinusoid of amplitude A centred on a
//   bin has magnitude A there, a constant A gives out[0] = A.
// Rounding: float32 throughout, every expression evaluated in one fixed
//   order with no fused multiply-add (the library builds with
//   -ffp-contract=off), so results are the same bits on every platform.
// In place: the input is read completely before any output is written, so
//   input and output may overlap in any way (typically output == input, with
//   514 floats of room).
// Reentrant: no mutable state; any number of threads may transform at once.
#pragma once

#include "qx_orb.h"

namespace qx {

constexpr int kFftInputFloats = 512;
constexpr int kFftBinCount = 257;
constexpr int kFftOutputFloats = 2 * kFftBinCount;  // 514
constexpr int kFftWorkFloats = 512;                 // 256 complex values

// Allocates the 2048-byte working buffer through the library allocator and
// frees it before returning. Returns QX_STATUS_SUCCESS, or
// QX_STATUS_OUT_OF_MEMORY when the allocation fails; the output is then
// untouched. Pushes no error message: each caller reports the failure with
// its own trace.
QxStatus real_fft_512(const float *input, float *output);

// Same transform with a caller-owned working buffer of kFftWorkFloats floats
// (any alignment), for paths that must not allocate; cannot fail. `work`
// must not overlap `input` or `output`; its contents afterwards are
// unspecified.
void real_fft_512_with_buffer(const float *input, float *output, float *work);

}  // namespace qx
