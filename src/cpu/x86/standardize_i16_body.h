// standardize_i16 on 2 * kI32Lanes columns per step (cols a multiple of the
// step): the reference's sat16(((x - shift) scale) >> 10) in 32-bit lanes;
// the product fits (|x - shift| <= 65535, |scale| <= 32768) and packing
// saturates. Included once per instruction set after its simd_*.h.
#pragma once

#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

QX_SIMD_TARGET inline simd::I standardize_lanes(const int16_t *x, const int16_t *shift,
                                                const int16_t *scale) {
  const simd::I centred = simd::sub_i32(simd::load_i16_as_i32(x), simd::load_i16_as_i32(shift));
  return simd::srai_i32(simd::mullo_i32(centred, simd::load_i16_as_i32(scale)), 10);
}

}  // namespace

QX_SIMD_TARGET void QX_SIMD_NAME(standardize_i16)(const RowsTask &task, uint64_t begin,
                                                  uint64_t end) {
  constexpr uint64_t kLanes = simd::kI32Lanes;
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x = static_cast<const int16_t *>(task.x) + r * cols;
    int16_t *out = static_cast<int16_t *>(task.out) + r * cols;
    for (uint64_t c = 0; c < cols; c += 2 * kLanes) {
      const simd::I low = standardize_lanes(x + c, task.shift + c, task.scale + c);
      const simd::I high =
          standardize_lanes(x + c + kLanes, task.shift + c + kLanes, task.scale + c + kLanes);
      simd::store(out + c, simd::narrow_i32(low, high));
    }
  }
}

}  // namespace qx
