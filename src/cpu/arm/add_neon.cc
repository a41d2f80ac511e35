// add_f32 and add_i16 a whole register per step (the item length is a
// multiple of the lanes); vqaddq_s16 is sat16(a + b) exactly.
#include <arm_neon.h>

#include "cpu/arm/arm_kernels.h"

namespace qx {

void add_f32_neon(float *out, const float *a, const float *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 4) {
    vst1q_f32(out + i, vaddq_f32(vld1q_f32(a + i), vld1q_f32(b + i)));
  }
}

void add_i16_neon(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 8) {
    vst1q_s16(out + i, vqaddq_s16(vld1q_s16(a + i), vld1q_s16(b + i)));
  }
}

}  // namespace qx
