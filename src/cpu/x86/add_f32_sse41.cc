// add_f32, 4 lanes per step (the item length is a multiple of 4).
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {

QX_TARGET_SSE41 void add_f32_sse41(float *out, const float *a, const float *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 4) {
    _mm_storeu_ps(out + i, _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  }
}

}  // namespace qx
