// add_f32, 8 lanes per step (the item length is a multiple of 8).
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {

QX_TARGET_AVX2 void add_f32_avx2(float *out, const float *a, const float *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8) {
    _mm256_storeu_ps(out + i, _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
}

}  // namespace qx
