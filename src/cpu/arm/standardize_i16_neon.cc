// standardize_i16 on 8 columns per step (cols a multiple of 8): the
// reference's sat16(((x - shift) scale) >> 10) in 32-bit lanes. The product
// fits (|x - shift| <= 65535, |scale| <= 32768); narrowing saturates.
#include <arm_neon.h>

#include "cpu/arm/arm_kernels.h"

namespace qx {
namespace {

inline int16x4_t standardize_lanes(int16x4_t x, int16x4_t shift, int16x4_t scale) {
  const int32x4_t centred = vsubl_s16(x, shift);
  return vqmovn_s32(vshrq_n_s32(vmulq_s32(centred, vmovl_s16(scale)), 10));
}

}  // namespace

void standardize_i16_neon(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x = static_cast<const int16_t *>(task.x) + r * cols;
    int16_t *out = static_cast<int16_t *>(task.out) + r * cols;
    for (uint64_t c = 0; c < cols; c += 8) {
      const int16x8_t xs = vld1q_s16(x + c);
      const int16x8_t shift = vld1q_s16(task.shift + c);
      const int16x8_t scale = vld1q_s16(task.scale + c);
      vst1q_s16(
          out + c,
          vcombine_s16(
              standardize_lanes(vget_low_s16(xs), vget_low_s16(shift), vget_low_s16(scale)),
              standardize_lanes(vget_high_s16(xs), vget_high_s16(shift), vget_high_s16(scale))));
    }
  }
}

}  // namespace qx
