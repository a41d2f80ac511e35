#include "frontend/real_fft.h"

#include <cassert>
#include <cstdint>

#include "frontend/fft_tables.h"
#include "runtime/allocator.h"

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
void bit_reverse_scatter(const float *input, float *z) {
  for (int n = 0; n < 256; ++n) {
    const int slot = QX_FFT_BIT_REVERSE_TABLE[n];
    z[slot] = input[2 * n];
    z[slot + 1] = input[2 * n + 1];
  }
}

// Eight radix-2 decimation-in-time stages over 256 complex values in place;
// stage s joins pairs of 2^s-point transforms with twiddles e^(-2*pi*i*j*stride/512),
// stride = 256 >> s.
void butterflies(float *z) {
  for (int s = 0; s < 8; ++s) {
    const int half = 1 << s;
    const int stride = 256 >> s;
    for (int base = 0; base < 256; base += 2 * half) {
      for (int j = 0; j < half; ++j) {
        const float sn = QX_FFT_SINE_TABLE[j * stride];
        const float cs = QX_FFT_SINE_TABLE[j * stride + 128];
        float *top = z + 2 * (base + j);
        float *bottom = z + 2 * (base + j + half);
        // t = bottom * (cs - i*sn)
        const float t_re = bottom[0] * cs + bottom[1] * sn;
        const float t_im = bottom[1] * cs - bottom[0] * sn;
        const float top_re = top[0];
        const float top_im = top[1];
        top[0] = top_re + t_re;
        top[1] = top_im + t_im;
        bottom[0] = top_re - t_re;
        bottom[1] = top_im - t_im;
      }
    }
  }
}

// Turns the 256-point transform Z of z[n] = x[2n] + i*x[2n+1] into bins
// 0..256 of the 512-point real transform. With a + ib = Z[k] and
// c + id = Z[256-k], the even half is (Z[k] + conj Z[256-k]) / 2 and the odd
// half (Z[k] - conj Z[256-k]) / 2i; the odd half is rotated by e^(-2*pi*i*k/512).
// The halving and the single-sided doubling leave one 1/512 factor.
void split(const float *z, float *out) {
  const float z0_re = z[0];
  const float z0_im = z[1];
  for (int k = 1; k < 256; ++k) {
    const float a = z[2 * k];
    const float b = z[2 * k + 1];
    const float c = z[2 * (256 - k)];
    const float d = z[2 * (256 - k) + 1];
    const float cs = QX_FFT_SINE_TABLE[k + 128];
    const float sn = QX_FFT_SINE_TABLE[k];
    out[2 * k] = (c + a + cs * (b + d) + sn * (c - a)) * kOneOver512;
    out[2 * k + 1] = (b - d + cs * (c - a) - sn * (b + d)) * kOneOver512;
  }
  out[0] = (z0_re + z0_im) * kOneOver512;
  out[1] = 0.0f;
  out[512] = (z0_re - z0_im) * kOneOver512;
  out[513] = 0.0f;
}

}  // namespace

void real_fft_512_with_buffer(const float *input, float *output, float *work) {
  assert(!overlaps(work, kFftWorkFloats, input, kFftInputFloats));
  assert(!overlaps(work, kFftWorkFloats, output, kFftOutputFloats));
  bit_reverse_scatter(input, work);
  butterflies(work);
  split(work, output);
}

QxStatus real_fft_512(const float *input, float *output) {
  auto *work = static_cast<float *>(aligned_malloc(kWorkAlignment, sizeof(float) * kFftWorkFloats));
  if (!work) return QX_STATUS_OUT_OF_MEMORY;
  real_fft_512_with_buffer(input, output, work);
  aligned_free(work);
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
