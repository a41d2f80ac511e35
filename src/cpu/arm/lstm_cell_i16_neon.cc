// lstm_cell_i16, 8 cells per step as two halves of four 32-bit lanes, with
// the reference's arithmetic lane by lane. NEON has no gather, so the table
// neighbours T[i] and T[i + 1] are read one lane at a time. Cells past the
// last whole step take the portable path.
#include <arm_neon.h>

#include "cpu/arm/arm_kernels.h"
#include "runtime/fixed_point_tables.h"

namespace qx {
namespace {

inline int32x4_t clamp(int32x4_t v, int32_t low, int32_t high) {
  return vminq_s32(vmaxq_s32(v, vdupq_n_s32(low)), vdupq_n_s32(high));
}

// sigmoid_q15 of Q10 values held in 32-bit lanes. With f = 0 the upper
// neighbour is weighted 0, so it is read whatever j would be; i stays at
// most 255, so T[i + 1] is at most the table's last entry.
inline int32x4_t sigmoid_lanes(int32x4_t x_q10) {
  const int32x4_t b = clamp(x_q10, -8192, 8128);
  const int32x4_t i = vshrq_n_s32(vandq_s32(b, vdupq_n_s32(16383)), 6);
  const int32x4_t f = vandq_s32(b, vdupq_n_s32(63));
  int32_t index[4], lower[4], upper[4];
  vst1q_s32(index, i);
  for (int lane = 0; lane < 4; ++lane) {
    lower[lane] = QX_SIGMOID_TABLE[index[lane]];
    upper[lane] = QX_SIGMOID_TABLE[index[lane] + 1];
  }
  const int32x4_t weighted =
      vmlaq_s32(vmulq_s32(vld1q_s32(lower), vsubq_s32(vdupq_n_s32(64), f)), vld1q_s32(upper), f);
  return vshrq_n_s32(weighted, 6);
}

// tanh_q15(x) = 2 sigmoid_q15(sat16(2x)) - 32768.
inline int32x4_t tanh_lanes(int32x4_t x_q10) {
  const int32x4_t s = sigmoid_lanes(clamp(vaddq_s32(x_q10, x_q10), -32768, 32767));
  return vsubq_s32(vaddq_s32(s, s), vdupq_n_s32(32768));
}

// (a b + round) >> shift per lane; every product here fits 32 bits.
template <int kShift>
inline int32x4_t product_shifted(int32x4_t a, int32x4_t b, int32_t round) {
  return vshrq_n_s32(vmlaq_s32(vdupq_n_s32(round), a, b), kShift);
}

inline int32x4_t load_i16_as_i32(const int16_t *p) { return vmovl_s16(vld1_s16(p)); }

// Cells i .. i + 3: new cell (saturated) and h, in 32-bit lanes.
inline void cell_lanes(const LstmTask &task, int32_t i, int32x4_t *cell_q10, int32x4_t *h_q10) {
  const int32x4_t z_q15 = sigmoid_lanes(load_i16_as_i32(task.gates + i));
  const int32x4_t u_q15 = tanh_lanes(load_i16_as_i32(task.gates + task.n + i));
  const int32x4_t o_q15 = sigmoid_lanes(load_i16_as_i32(task.gates + 2 * task.n + i));
  const int32x4_t kept_q10 = product_shifted<15>(load_i16_as_i32(task.cell + i),
                                                 vsubq_s32(vdupq_n_s32(32767), z_q15), 16384);
  const int32x4_t added_q10 = product_shifted<20>(z_q15, u_q15, 524288);
  *cell_q10 = clamp(vaddq_s32(kept_q10, added_q10), -32768, 32767);
  *h_q10 = product_shifted<20>(tanh_lanes(*cell_q10), o_q15, 524288);
}

}  // namespace

void lstm_cell_i16_neon(const LstmTask &task, int32_t begin, int32_t end) {
  int32_t i = begin;
  for (; i + 8 <= end; i += 8) {
    int32x4_t cell_low, h_low, cell_high, h_high;
    cell_lanes(task, i, &cell_low, &h_low);
    cell_lanes(task, i + 4, &cell_high, &h_high);
    // The cell first: where h and the cell are the same elements, h stays.
    // Both lie within int16 already, so narrowing keeps the values.
    vst1q_s16(task.cell + i, vcombine_s16(vmovn_s32(cell_low), vmovn_s32(cell_high)));
    vst1q_s16(task.h + i, vcombine_s16(vmovn_s32(h_low), vmovn_s32(h_high)));
  }
  for (; i < end; ++i) lstm_cell_one(task, i);
}

}  // namespace qx
