// Element-wise additions, plain loops: the variant for lengths and processors
// the vector variants do not take.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void add_f32_portable(float *out, const float *a, const float *b, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

void add_i16_portable(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) out[i] = add_q10(a[i], b[i]);
}

}  // namespace qx
