// lstm_cell_i16, 8 cells per step as two halves of four 32-bit lanes, with
// the reference's arithmetic lane by lane. Without gathers the table pairs
// are read one lane at a time: one 32-bit load at entry i holds T[i] (low
// half) and T[i + 1] (high half), which one pmaddwd weights by 64 - f and f.
// Cells past the last whole step take the portable path.
#include <cstring>

#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

QX_TARGET_SSE41 inline __m128i clamp(__m128i v, int32_t low, int32_t high) {
  return _mm_min_epi32(_mm_max_epi32(v, _mm_set1_epi32(low)), _mm_set1_epi32(high));
}

QX_TARGET_SSE41 inline int32_t table_pair(int32_t i) {
  int32_t pair;
  std::memcpy(&pair, QX_SIGMOID_TABLE + i, sizeof(pair));
  return pair;
}

// sigmoid_q15 of four Q10 values held in 32-bit lanes. With f = 0 the upper
// neighbour is weighted 0, so it is read whatever j would be; i stays at
// most 255, so T[i + 1] is at most the table's last entry.
QX_TARGET_SSE41 inline __m128i sigmoid4(__m128i x_q10) {
  const __m128i b = clamp(x_q10, -8192, 8128);
  const __m128i i = _mm_srli_epi32(_mm_and_si128(b, _mm_set1_epi32(16383)), 6);
  const __m128i f = _mm_and_si128(b, _mm_set1_epi32(63));
  const __m128i neighbours =
      _mm_setr_epi32(table_pair(_mm_cvtsi128_si32(i)), table_pair(_mm_extract_epi32(i, 1)),
                     table_pair(_mm_extract_epi32(i, 2)), table_pair(_mm_extract_epi32(i, 3)));
  const __m128i weights = _mm_or_si128(_mm_sub_epi32(_mm_set1_epi32(64), f), _mm_slli_epi32(f, 16));
  return _mm_srai_epi32(_mm_madd_epi16(neighbours, weights), 6);
}

// tanh_q15(x) = 2 sigmoid_q15(sat16(2x)) - 32768.
QX_TARGET_SSE41 inline __m128i tanh4(__m128i x_q10) {
  const __m128i s = sigmoid4(clamp(_mm_add_epi32(x_q10, x_q10), -32768, 32767));
  return _mm_sub_epi32(_mm_add_epi32(s, s), _mm_set1_epi32(32768));
}

QX_TARGET_SSE41 inline __m128i load4(const int16_t *p) {
  return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}

// Cells i .. i + 3: new cell (saturated) and h, in 32-bit lanes.
QX_TARGET_SSE41 inline void cells4(const LstmTask &task, int32_t i, __m128i *cell_q10,
                                   __m128i *h_q10) {
  const __m128i z_q15 = sigmoid4(load4(task.gates + i));
  const __m128i u_q15 = tanh4(load4(task.gates + task.n + i));
  const __m128i o_q15 = sigmoid4(load4(task.gates + 2 * task.n + i));
  const __m128i kept_q10 = _mm_srai_epi32(
      _mm_add_epi32(
          _mm_mullo_epi32(load4(task.cell + i), _mm_sub_epi32(_mm_set1_epi32(32767), z_q15)),
          _mm_set1_epi32(16384)),
      15);
  const __m128i added_q10 =
      _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(z_q15, u_q15), _mm_set1_epi32(524288)), 20);
  *cell_q10 = clamp(_mm_add_epi32(kept_q10, added_q10), -32768, 32767);
  *h_q10 = _mm_srai_epi32(
      _mm_add_epi32(_mm_mullo_epi32(tanh4(*cell_q10), o_q15), _mm_set1_epi32(524288)), 20);
}

}  // namespace

QX_TARGET_SSE41 void lstm_cell_i16_sse41(const LstmTask &task, int32_t begin, int32_t end) {
  int32_t i = begin;
  for (; i + 8 <= end; i += 8) {
    __m128i cell_low, h_low, cell_high, h_high;
    cells4(task, i, &cell_low, &h_low);
    cells4(task, i + 4, &cell_high, &h_high);
    // The cell first: where h and the cell are the same elements, h stays.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(task.cell + i),
                     _mm_packs_epi32(cell_low, cell_high));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(task.h + i), _mm_packs_epi32(h_low, h_high));
  }
  for (; i < end; ++i) lstm_cell_one(task, i);
}

}  // namespace qx
