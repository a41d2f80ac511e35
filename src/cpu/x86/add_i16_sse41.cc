// add_i16, 8 lanes per step (the item length is a multiple of 8). The
// saturating add is sat16(a + b) exactly.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {

QX_TARGET_SSE41 void add_i16_sse41(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8) {
    const __m128i sum = _mm_adds_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), sum);
  }
}

}  // namespace qx
