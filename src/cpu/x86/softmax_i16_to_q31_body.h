// softmax_i16_to_q31 on 2 * kI32Lanes columns per step (cols a multiple of
// the step), with the reference's integers: h = min(max - x, 16383) taken as
// unsigned 16 bits (max - x lies in 0 ... 65535), e = round_q31(L[h & 127]
// M[h >> 7]), an exact 64-bit sum, then round_q31(g e) with g = 2^62 / sum.
// Every product is of two values in 0 ... 2^31 - 1. Included once per
// instruction set after its simd_*.h.
#pragma once

#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

QX_SIMD_TARGET inline simd::I exp_lanes(simd::I h) {
  const simd::I lsb = simd::gather_i32(QX_EXP_LSB_TABLE, simd::and_bits(h, simd::set1_i32(127)));
  const simd::I msb = simd::gather_i32(QX_EXP_MSB_TABLE, simd::srli_i32(h, 7));
  return simd::round_q31_products(lsb, msb);
}

}  // namespace

QX_SIMD_TARGET void QX_SIMD_NAME(softmax_i16_to_q31)(const RowsTask &task, uint64_t begin,
                                                     uint64_t end) {
  constexpr uint64_t kLanes = simd::kI32Lanes;
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x_q10 = static_cast<const int16_t *>(task.x) + r * cols;
    int32_t *out_q31 = static_cast<int32_t *>(task.out) + r * cols;
    simd::I maximum = simd::load(x_q10);
    for (uint64_t j = 2 * kLanes; j < cols; j += 2 * kLanes) {
      maximum = simd::max_i16(maximum, simd::load(x_q10 + j));
    }
    maximum = simd::broadcast_max_i16(maximum);

    simd::I sum = simd::zero();
    for (uint64_t j = 0; j < cols; j += 2 * kLanes) {
      const simd::I h =
          simd::min_u16(simd::sub_i16(maximum, simd::load(x_q10 + j)), simd::set1_i16(16383));
      const simd::I low = exp_lanes(simd::low_u16_as_i32(h));
      const simd::I high = exp_lanes(simd::high_u16_as_i32(h));
      simd::store(out_q31 + j, low);
      simd::store(out_q31 + j + kLanes, high);
      sum = simd::add_u32_to_u64(simd::add_u32_to_u64(sum, low), high);
    }
    int64_t g_q31 = (INT64_C(1) << 62) / simd::sum_u64(sum);
    if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
    const simd::I g = simd::set1_i32(static_cast<int32_t>(g_q31));
    for (uint64_t j = 0; j < cols; j += kLanes) {
      simd::store(out_q31 + j, simd::round_q31_products(simd::load(out_q31 + j), g));
    }
  }
}

}  // namespace qx
