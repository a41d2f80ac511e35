#include "frontend/real_fft.h"

#include <cassert>
#include <cstdint>

#include "frontend/fft_tables.h"
#include "frontend/front_end_kernels.h"
#include "frontend/front_end_portable.h"
#include "frontend/real_fft_stages.h"
#include "base/allocator.h"

namespace qx {
namespace {

constexpr float kOneOver512 = 0.001953125f;  // 2^-9, applied once per split-step sum
constexpr size_t kWorkAlignment = 32;        // every host block of the runtime

[[maybe_unused]] bool overlaps(const float *a, int a_floats, const float *b, int b_floats) {
  const auto a0 = reinterpret_cast<uintptr_t>(a);
  const auto b0 = reinterpret_cast<uintptr_t>(b);
  return a0 < b0 + sizeof(float) * b_floats && b0 < a0 + sizeof(float) * a_floats;
}

// Z[r(n)] = z[n]: decimation in time wants its input in bit-reversed order.
// Reads all of the input, so the output may alias it afterwards.
void bit_reverse_scatter(const float *input, float *re, float *im) {
  for (int n = 0; n < 256; ++n) {
    const int slot = QX_FFT_BIT_REVERSE_TABLE[n] / 2;  // the table holds interleaved indexes
    re[slot] = input[2 * n];
    im[slot] = input[2 * n + 1];
  }
}

void butterflies(float *re, float *im) {
  fft_stage_scalar(re, im, 0);
  fft_stage_scalar(re, im, 1);
  for (int s = 2; s < 8; ++s) {
#if defined(__SSE2__)
    fft_stage_sse2(re, im, s);
#else
    fft_stage_scalar(re, im, s);
#endif
  }
}

// Turns the 256-point transform Z of z[n] = x[2n] + i*x[2n+1] into bins
// 0..256 of the 512-point real transform. With a + ib = Z[k] and
// c + id = Z[256-k], the even half is (Z[k] + conj Z[256-k]) / 2 and the odd
// half (Z[k] - conj Z[256-k]) / 2i; the odd half is rotated by e^(-2*pi*i*k/512).
// The halving and the single-sided doubling leave one 1/512 factor.
void split(const float *re, const float *im, float *out) {
  for (int k = 1; k < 256; ++k) {
    const float a = re[k];
    const float b = im[k];
    const float c = re[256 - k];
    const float d = im[256 - k];
    const float cs = QX_FFT_SINE_TABLE[k + 128];
    const float sn = QX_FFT_SINE_TABLE[k];
    out[2 * k] = (c + a + cs * (b + d) + sn * (c - a)) * kOneOver512;
    out[2 * k + 1] = (b - d + cs * (c - a) - sn * (b + d)) * kOneOver512;
  }
  out[0] = (re[0] + im[0]) * kOneOver512;
  out[1] = 0.0f;
  out[512] = (re[0] - im[0]) * kOneOver512;
  out[513] = 0.0f;
}

}  // namespace

void fft_stage_scalar(float *re, float *im, int s) {
  const int half = 1 << s;
  const int stride = 256 >> s;
  for (int base = 0; base < 256; base += 2 * half) {
    for (int j = 0; j < half; ++j) {
      const float sn = QX_FFT_SINE_TABLE[j * stride];
      const float cs = QX_FFT_SINE_TABLE[j * stride + 128];
      const int top = base + j;
      const int bottom = top + half;
      const float t_re = re[bottom] * cs + im[bottom] * sn;
      const float t_im = im[bottom] * cs - re[bottom] * sn;
      const float top_re = re[top];
      const float top_im = im[top];
      re[top] = top_re + t_re;
      im[top] = top_im + t_im;
      re[bottom] = top_re - t_re;
      im[bottom] = top_im - t_im;
    }
  }
}

void real_fft_512_portable(const float *input, float *output, float *work) {
  float *re = work;
  float *im = work + 256;
  bit_reverse_scatter(input, re, im);
  butterflies(re, im);
  split(re, im, output);
}

void real_fft_512_with_buffer(const float *input, float *output, float *work) {
  assert(!overlaps(work, kFftWorkFloats, input, kFftInputFloats));
  assert(!overlaps(work, kFftWorkFloats, output, kFftOutputFloats));
  front_end_kernels().real_fft(input, output, work);
}

QxStatus real_fft_512(const float *input, float *output) {
  auto *work = static_cast<float *>(aligned_malloc(kWorkAlignment, sizeof(float) * kFftWorkFloats));
  if (!work) return QX_STATUS_OUT_OF_MEMORY;
  real_fft_512_with_buffer(input, output, work);
  aligned_free(work);
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
