// add_i16, 16 lanes per step (the item length is a multiple of 16). The
// saturating add is sat16(a + b) exactly.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {

QX_TARGET_AVX2 void add_i16_avx2(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 16) {
    const __m256i sum =
        _mm256_adds_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), sum);
  }
}

}  // namespace qx
