// lstm_cell_i16, 2 * kI32Lanes cells per step as two halves of 32-bit lanes,
// with the reference's arithmetic lane by lane. One 32-bit read at table
// entry i holds the neighbours T[i] (low half) and T[i + 1] (high half),
// which one pmaddwd weights by 64 - f and f. Cells past the last whole step
// take one masked step where the instruction set has masked loads
// (QX_SIMD_PARTIAL_STEPS), else the portable path. Included once per
// instruction set after its simd_*.h.
#pragma once

#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

QX_SIMD_TARGET inline simd::I clamp(simd::I v, int32_t low, int32_t high) {
  return simd::min_i32(simd::max_i32(v, simd::set1_i32(low)), simd::set1_i32(high));
}

// sigmoid_q15 of Q10 values held in 32-bit lanes. With f = 0 the upper
// neighbour is weighted 0, so it is read whatever j would be; i stays at
// most 255, so T[i + 1] is at most the table's last entry.
QX_SIMD_TARGET inline simd::I sigmoid_lanes(simd::I x_q10) {
  const simd::I b = clamp(x_q10, -8192, 8128);
  const simd::I i = simd::srli_i32(simd::and_bits(b, simd::set1_i32(16383)), 6);
  const simd::I f = simd::and_bits(b, simd::set1_i32(63));
  const simd::I neighbours = simd::gather_pairs(QX_SIGMOID_TABLE, i);
  const simd::I weights =
      simd::or_bits(simd::sub_i32(simd::set1_i32(64), f), simd::slli_i32(f, 16));
  return simd::srai_i32(simd::madd_i16(neighbours, weights), 6);
}

// tanh_q15(x) = 2 sigmoid_q15(sat16(2x)) - 32768.
QX_SIMD_TARGET inline simd::I tanh_lanes(simd::I x_q10) {
  const simd::I s = sigmoid_lanes(clamp(simd::add_i32(x_q10, x_q10), -32768, 32767));
  return simd::sub_i32(simd::add_i32(s, s), simd::set1_i32(32768));
}

// (a b + round) >> shift per lane.
QX_SIMD_TARGET inline simd::I product_shifted(simd::I a, simd::I b, int32_t round, int shift) {
  return simd::srai_i32(simd::add_i32(simd::mullo_i32(a, b), simd::set1_i32(round)), shift);
}

// `lanes` int16 values from p in 32-bit lanes: kI32Lanes, or fewer (zeros
// above them) in a masked last step.
QX_SIMD_TARGET inline simd::I load_lanes(const int16_t *p, int32_t lanes) {
#if defined(QX_SIMD_PARTIAL_STEPS)
  if (lanes < simd::kI32Lanes) return simd::load_partial_i16_as_i32(p, lanes);
#endif
  (void)lanes;
  return simd::load_i16_as_i32(p);
}

// Cells i .. i + lanes - 1: new cell (saturated) and h, in 32-bit lanes.
QX_SIMD_TARGET inline void cell_lanes(const LstmTask &task, int32_t i, int32_t lanes,
                                      simd::I *cell_q10, simd::I *h_q10) {
  const simd::I z_q15 = sigmoid_lanes(load_lanes(task.gates + i, lanes));
  const simd::I u_q15 = tanh_lanes(load_lanes(task.gates + task.n + i, lanes));
  const simd::I o_q15 = sigmoid_lanes(load_lanes(task.gates + 2 * task.n + i, lanes));
  const simd::I kept_q10 = product_shifted(load_lanes(task.cell + i, lanes),
                                           simd::sub_i32(simd::set1_i32(32767), z_q15), 16384, 15);
  const simd::I added_q10 = product_shifted(z_q15, u_q15, 524288, 20);
  *cell_q10 = clamp(simd::add_i32(kept_q10, added_q10), -32768, 32767);
  *h_q10 = product_shifted(tanh_lanes(*cell_q10), o_q15, 524288, 20);
}

}  // namespace

QX_SIMD_TARGET void QX_SIMD_NAME(lstm_cell_i16)(const LstmTask &task, int32_t begin, int32_t end) {
  constexpr int32_t kLanes = simd::kI32Lanes;
  int32_t i = begin;
  for (; i + 2 * kLanes <= end; i += 2 * kLanes) {
    simd::I cell_low, h_low, cell_high, h_high;
    cell_lanes(task, i, kLanes, &cell_low, &h_low);
    cell_lanes(task, i + kLanes, kLanes, &cell_high, &h_high);
    // The cell first: where h and the cell are the same elements, h stays.
    simd::store(task.cell + i, simd::narrow_i32(cell_low, cell_high));
    simd::store(task.h + i, simd::narrow_i32(h_low, h_high));
  }
#if defined(QX_SIMD_PARTIAL_STEPS)
  if (i < end) {
    const int32_t rest = end - i;  // below 2 kLanes
    const int32_t low = rest < kLanes ? rest : kLanes;
    simd::I cell_low, h_low, cell_high, h_high;
    cell_lanes(task, i, low, &cell_low, &h_low);
    cell_lanes(task, i + kLanes, rest - low, &cell_high, &h_high);
    simd::store_partial_i16(task.cell + i, simd::narrow_i32(cell_low, cell_high), rest);
    simd::store_partial_i16(task.h + i, simd::narrow_i32(h_low, h_high), rest);
    i = end;
  }
#endif
  for (; i < end; ++i) lstm_cell_one(task, i);
}

}  // namespace qx
