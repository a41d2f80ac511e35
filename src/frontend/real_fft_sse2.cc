// 128-bit butterflies for stages with at least four butterflies per group.
#include "frontend/real_fft_stages.h"

#if defined(__SSE2__)

#include <emmintrin.h>

#include <cassert>

#include "frontend/fft_tables.h"

namespace qx {

void fft_stage_sse2(float *re, float *im, int s) {
  assert(s >= 2 && s < 8);
  const int half = 1 << s;
  const int stride = 256 >> s;
  const float *table = QX_FFT_SINE_TABLE;
  // Twiddles depend on j only: load four once, then sweep every group.
  for (int j = 0; j < half; j += 4) {
    const int k = j * stride;
    const __m128 sn = _mm_setr_ps(table[k], table[k + stride], table[k + 2 * stride],
                                  table[k + 3 * stride]);
    const __m128 cs = _mm_setr_ps(table[k + 128], table[k + stride + 128],
                                  table[k + 2 * stride + 128], table[k + 3 * stride + 128]);
    for (int base = 0; base < 256; base += 2 * half) {
      const int top = base + j;
      const int bottom = top + half;
      const __m128 top_re = _mm_loadu_ps(re + top);
      const __m128 top_im = _mm_loadu_ps(im + top);
      const __m128 bottom_re = _mm_loadu_ps(re + bottom);
      const __m128 bottom_im = _mm_loadu_ps(im + bottom);
      const __m128 t_re = _mm_add_ps(_mm_mul_ps(bottom_re, cs), _mm_mul_ps(bottom_im, sn));
      const __m128 t_im = _mm_sub_ps(_mm_mul_ps(bottom_im, cs), _mm_mul_ps(bottom_re, sn));
      _mm_storeu_ps(re + top, _mm_add_ps(top_re, t_re));
      _mm_storeu_ps(im + top, _mm_add_ps(top_im, t_im));
      _mm_storeu_ps(re + bottom, _mm_sub_ps(top_re, t_re));
      _mm_storeu_ps(im + bottom, _mm_sub_ps(top_im, t_im));
    }
  }
}

}  // namespace qx

#endif  // __SSE2__
