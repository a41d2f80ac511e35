// add_f32 and add_i16 a whole register per step (the item length is a
// multiple of the lanes); the saturating int16 add is sat16(a + b) exactly.
// Included once per instruction set after its simd_*.h.
#pragma once

#include "cpu/x86/x86_kernels.h"

namespace qx {

QX_SIMD_TARGET void QX_SIMD_NAME(add_f32)(float *out, const float *a, const float *b, uint64_t n) {
  for (uint64_t i = 0; i < n; i += simd::kF32Lanes) {
    simd::store_f(out + i, simd::add_f(simd::load_f(a + i), simd::load_f(b + i)));
  }
}

QX_SIMD_TARGET void QX_SIMD_NAME(add_i16)(int16_t *out, const int16_t *a, const int16_t *b,
                                          uint64_t n) {
  for (uint64_t i = 0; i < n; i += 2 * simd::kI32Lanes) {
    simd::store(out + i, simd::adds_i16(simd::load(a + i), simd::load(b + i)));
  }
}

}  // namespace qx
