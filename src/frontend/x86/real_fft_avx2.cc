// real_fft_512 eight lanes at a time, every butterfly and split-step
// expression evaluated as the portable transform evaluates it, per element.
//
// Stages 0-2 run while the input is scattered into bit-reversed order. Slot
// 8 * rev5(m) + i of the working buffer receives z[m + 32 * rev3(i)]
// (m < 32, i < 8; rev5 and rev3 reverse 5 and 3 bits), and stages 0-2 mix
// only the 8 slots of one such block. So vector i takes z[m + 32 * rev3(i)]
// for 8 consecutive m (one contiguous load of 16 floats), the three stages
// combine vectors 0-7 lane by lane, and an 8x8 transpose turns each lane's
// block into a row that is stored at slot 8 * rev5(m). Stages 3-7 combine
// slots at least 8 apart and run on contiguous vectors.
#include <cstdint>

#include "frontend/fft_tables.h"
#include "frontend/x86/avx2_blocks.h"

namespace qx {
namespace {

constexpr float kOneOver512 = 0.001953125f;

constexpr int reverse_bits(int value, int bits) {
  int reversed = 0;
  for (int b = 0; b < bits; ++b) reversed |= ((value >> b) & 1) << (bits - 1 - b);
  return reversed;
}

struct ScatterOffsets {
  int input[8];  // float offset of z[32 * rev3(i)]
  int slot[32];  // working slot of row m: 8 * rev5(m)
};

constexpr ScatterOffsets scatter_offsets() {
  ScatterOffsets offsets{};
  for (int i = 0; i < 8; ++i) offsets.input[i] = 2 * 32 * reverse_bits(i, 3);
  for (int m = 0; m < 32; ++m) offsets.slot[m] = 8 * reverse_bits(m, 5);
  return offsets;
}
constexpr ScatterOffsets kScatter = scatter_offsets();

// Deinterleaving 8 complex values leaves lane l holding value kLaneValue[l].
constexpr int kLaneValue[8] = {0, 1, 4, 5, 2, 3, 6, 7};

// Sines and cosines of stages 3-7 in the order j runs, so eight consecutive
// j load at once: stage s (half = 2^s) starts at index half - 8.
struct StageTwiddles {
  alignas(32) float sine[248];
  alignas(32) float cosine[248];
};

const StageTwiddles &stage_twiddles() {
  static const StageTwiddles twiddles = [] {
    StageTwiddles t{};
    for (int s = 3; s < 8; ++s) {
      const int half = 1 << s;
      const int stride = 256 >> s;
      for (int j = 0; j < half; ++j) {
        t.sine[half - 8 + j] = QX_FFT_SINE_TABLE[j * stride];
        t.cosine[half - 8 + j] = QX_FFT_SINE_TABLE[j * stride + 128];
      }
    }
    return t;
  }();
  return twiddles;
}

struct Complex8 {
  __m256 re;
  __m256 im;
};

// top' = top + t, bottom' = top - t with t = bottom * (cs - i sn).
QX_FRONT_END_AVX2 inline void butterfly(Complex8 &top, Complex8 &bottom, __m256 sn, __m256 cs) {
  const __m256 t_re = _mm256_add_ps(_mm256_mul_ps(bottom.re, cs), _mm256_mul_ps(bottom.im, sn));
  const __m256 t_im = _mm256_sub_ps(_mm256_mul_ps(bottom.im, cs), _mm256_mul_ps(bottom.re, sn));
  bottom.re = _mm256_sub_ps(top.re, t_re);
  bottom.im = _mm256_sub_ps(top.im, t_im);
  top.re = _mm256_add_ps(top.re, t_re);
  top.im = _mm256_add_ps(top.im, t_im);
}

// Butterflies of stage s between vectors i and i + half of one 8-slot block,
// twiddle j = i mod half broadcast to all lanes.
QX_FRONT_END_AVX2 inline void block_stage(Complex8 v[8], int s) {
  const int half = 1 << s;
  const int stride = 256 >> s;
  for (int base = 0; base < 8; base += 2 * half) {
    for (int j = 0; j < half; ++j) {
      const __m256 sn = _mm256_set1_ps(QX_FFT_SINE_TABLE[j * stride]);
      const __m256 cs = _mm256_set1_ps(QX_FFT_SINE_TABLE[j * stride + 128]);
      butterfly(v[base + j], v[base + j + half], sn, cs);
    }
  }
}

QX_FRONT_END_AVX2 void scatter_and_first_stages(const float *input, float *re, float *im) {
  for (int m0 = 0; m0 < 32; m0 += 8) {
    Complex8 v[8];
    for (int i = 0; i < 8; ++i) {
      const float *pairs = input + 2 * m0 + kScatter.input[i];
      const __m256 low = _mm256_loadu_ps(pairs);
      const __m256 high = _mm256_loadu_ps(pairs + 8);
      v[i].re = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
      v[i].im = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
    }
    for (int s = 0; s < 3; ++s) block_stage(v, s);
    __m256 rows_re[8], rows_im[8];
    for (int i = 0; i < 8; ++i) {
      rows_re[i] = v[i].re;
      rows_im[i] = v[i].im;
    }
    avx2::transpose8x8(rows_re);
    avx2::transpose8x8(rows_im);
    for (int lane = 0; lane < 8; ++lane) {
      const int slot = kScatter.slot[m0 + kLaneValue[lane]];
      _mm256_storeu_ps(re + slot, rows_re[lane]);
      _mm256_storeu_ps(im + slot, rows_im[lane]);
    }
  }
}

QX_FRONT_END_AVX2 void later_stages(float *re, float *im) {
  const StageTwiddles &twiddles = stage_twiddles();
  for (int s = 3; s < 8; ++s) {
    const int half = 1 << s;
    const float *sine = twiddles.sine + half - 8;
    const float *cosine = twiddles.cosine + half - 8;
    for (int base = 0; base < 256; base += 2 * half) {
      for (int j = 0; j < half; j += 8) {
        const int top = base + j;
        const int bottom = top + half;
        Complex8 t{_mm256_loadu_ps(re + top), _mm256_loadu_ps(im + top)};
        Complex8 b{_mm256_loadu_ps(re + bottom), _mm256_loadu_ps(im + bottom)};
        butterfly(t, b, _mm256_load_ps(sine + j), _mm256_load_ps(cosine + j));
        _mm256_storeu_ps(re + top, t.re);
        _mm256_storeu_ps(im + top, t.im);
        _mm256_storeu_ps(re + bottom, b.re);
        _mm256_storeu_ps(im + bottom, b.im);
      }
    }
  }
}

// Bins k .. k + 7 (1 <= k <= 248) from Z[k ..] and Z[256 - k - 7 .. 256 - k].
QX_FRONT_END_AVX2 inline void split8(const float *re, const float *im, int k, float *out) {
  const __m256 a = _mm256_loadu_ps(re + k);
  const __m256 b = _mm256_loadu_ps(im + k);
  const __m256 c = avx2::reverse(_mm256_loadu_ps(re + 256 - k - 7));
  const __m256 d = avx2::reverse(_mm256_loadu_ps(im + 256 - k - 7));
  const __m256 cs = _mm256_loadu_ps(QX_FFT_SINE_TABLE + k + 128);
  const __m256 sn = _mm256_loadu_ps(QX_FFT_SINE_TABLE + k);
  const __m256 scale = _mm256_set1_ps(kOneOver512);
  const __m256 b_plus_d = _mm256_add_ps(b, d);
  const __m256 c_minus_a = _mm256_sub_ps(c, a);
  // (c + a + cs (b + d) + sn (c - a)) / 512 and (b - d + cs (c - a) - sn (b + d)) / 512,
  // summed left to right.
  const __m256 out_re =
      _mm256_mul_ps(_mm256_add_ps(_mm256_add_ps(_mm256_add_ps(c, a), _mm256_mul_ps(cs, b_plus_d)),
                                  _mm256_mul_ps(sn, c_minus_a)),
                    scale);
  const __m256 out_im =
      _mm256_mul_ps(_mm256_sub_ps(_mm256_add_ps(_mm256_sub_ps(b, d), _mm256_mul_ps(cs, c_minus_a)),
                                  _mm256_mul_ps(sn, b_plus_d)),
                    scale);
  const __m256 low = _mm256_unpacklo_ps(out_re, out_im);   // bins k, k+1 | k+4, k+5
  const __m256 high = _mm256_unpackhi_ps(out_re, out_im);  // bins k+2, k+3 | k+6, k+7
  _mm256_storeu_ps(out + 2 * k, _mm256_permute2f128_ps(low, high, 0x20));
  _mm256_storeu_ps(out + 2 * k + 8, _mm256_permute2f128_ps(low, high, 0x31));
}

QX_FRONT_END_AVX2 void split(const float *re, const float *im, float *out) {
  // Bins 1 .. 248, then 248 .. 255 (bin 248 twice, the same bits both times).
  for (int k = 1; k <= 241; k += 8) split8(re, im, k, out);
  split8(re, im, 248, out);
  out[0] = (re[0] + im[0]) * kOneOver512;
  out[1] = 0.0f;
  out[512] = (re[0] - im[0]) * kOneOver512;
  out[513] = 0.0f;
}

}  // namespace

QX_FRONT_END_AVX2 void real_fft_512_avx2(const float *input, float *output, float *work) {
  float *re = work;
  float *im = work + 256;
  scatter_and_first_stages(input, re, im);
  later_stages(re, im);
  split(re, im, output);
}

}  // namespace qx
