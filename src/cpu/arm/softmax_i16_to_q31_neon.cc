// softmax_i16_to_q31 on 8 columns per step (cols a multiple of 8), with the
// reference's integers: h = min(max - x, 16383) taken as unsigned 16 bits
// (max - x lies in 0 ... 65535), e = round_q31(L[h & 127] M[h >> 7]), an
// exact 64-bit sum, then round_q31(g e) with g = 2^62 / sum. Every product
// is of two values in 0 ... 2^31 - 1, so its rounding never saturates and
// vrshrn's (p + 2^30) >> 31 is round_q31.
#include <arm_neon.h>

#include "cpu/arm/arm_kernels.h"
#include "runtime/fixed_point_tables.h"

namespace qx {
namespace {

inline int32x4_t round_q31_products(int32x4_t a, int32x4_t b) {
  return vcombine_s32(vrshrn_n_s64(vmull_s32(vget_low_s32(a), vget_low_s32(b)), 31),
                      vrshrn_n_s64(vmull_s32(vget_high_s32(a), vget_high_s32(b)), 31));
}

// exp_q31 of four clamped differences; the table reads go lane by lane.
inline int32x4_t exp_lanes(uint16x4_t h) {
  uint16_t index[4];
  int32_t lsb[4], msb[4];
  vst1_u16(index, h);
  for (int lane = 0; lane < 4; ++lane) {
    lsb[lane] = QX_EXP_LSB_TABLE[index[lane] & 127];
    msb[lane] = QX_EXP_MSB_TABLE[index[lane] >> 7];
  }
  return round_q31_products(vld1q_s32(lsb), vld1q_s32(msb));
}

}  // namespace

void softmax_i16_to_q31_neon(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x_q10 = static_cast<const int16_t *>(task.x) + r * cols;
    int32_t *out_q31 = static_cast<int32_t *>(task.out) + r * cols;
    int16x8_t lane_maximum = vld1q_s16(x_q10);
    for (uint64_t j = 8; j < cols; j += 8) {
      lane_maximum = vmaxq_s16(lane_maximum, vld1q_s16(x_q10 + j));
    }
    int16x4_t maximum4 = vpmax_s16(vget_low_s16(lane_maximum), vget_high_s16(lane_maximum));
    maximum4 = vpmax_s16(maximum4, maximum4);
    maximum4 = vpmax_s16(maximum4, maximum4);
    const int16x8_t maximum = vdupq_lane_s16(maximum4, 0);

    uint64x2_t sum = vdupq_n_u64(0);
    for (uint64_t j = 0; j < cols; j += 8) {
      const uint16x8_t h = vminq_u16(
          vreinterpretq_u16_s16(vsubq_s16(maximum, vld1q_s16(x_q10 + j))), vdupq_n_u16(16383));
      const int32x4_t low = exp_lanes(vget_low_u16(h));
      const int32x4_t high = exp_lanes(vget_high_u16(h));
      vst1q_s32(out_q31 + j, low);
      vst1q_s32(out_q31 + j + 4, high);
      sum = vpadalq_u32(vpadalq_u32(sum, vreinterpretq_u32_s32(low)), vreinterpretq_u32_s32(high));
    }
    const auto total = static_cast<int64_t>(vgetq_lane_u64(sum, 0) + vgetq_lane_u64(sum, 1));
    int64_t g_q31 = (INT64_C(1) << 62) / total;
    if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
    const int32x4_t g = vdupq_n_s32(static_cast<int32_t>(g_q31));
    for (uint64_t j = 0; j < cols; j += 4) {
      vst1q_s32(out_q31 + j, round_q31_products(vld1q_s32(out_q31 + j), g));
    }
  }
}

}  // namespace qx
