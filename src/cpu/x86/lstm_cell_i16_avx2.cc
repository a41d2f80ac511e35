// lstm_cell_i16, 16 cells per step as two halves of eight 32-bit lanes, with
// the reference's arithmetic lane by lane. The activation tables are read by
// gathers: one 32-bit load at entry i holds the neighbours T[i] (low half)
// and T[i + 1] (high half), which one vpmaddwd weights by 64 - f and f.
// Cells past the last whole step take the portable path.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

QX_TARGET_AVX2 inline __m256i clamp(__m256i v, int32_t low, int32_t high) {
  return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_set1_epi32(low)), _mm256_set1_epi32(high));
}

// sigmoid_q15 of eight Q10 values held in 32-bit lanes. With f = 0 the
// upper neighbour is weighted 0, so it is read whatever j would be; i stays
// at most 255, so T[i + 1] is at most the table's last entry.
QX_TARGET_AVX2 inline __m256i sigmoid8(__m256i x_q10) {
  const __m256i b = clamp(x_q10, -8192, 8128);
  const __m256i i = _mm256_srli_epi32(_mm256_and_si256(b, _mm256_set1_epi32(16383)), 6);
  const __m256i f = _mm256_and_si256(b, _mm256_set1_epi32(63));
  const __m256i neighbours =
      _mm256_i32gather_epi32(reinterpret_cast<const int *>(QX_SIGMOID_TABLE), i, 2);
  const __m256i weights =
      _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(64), f), _mm256_slli_epi32(f, 16));
  return _mm256_srai_epi32(_mm256_madd_epi16(neighbours, weights), 6);
}

// tanh_q15(x) = 2 sigmoid_q15(sat16(2x)) - 32768.
QX_TARGET_AVX2 inline __m256i tanh8(__m256i x_q10) {
  const __m256i s = sigmoid8(clamp(_mm256_add_epi32(x_q10, x_q10), -32768, 32767));
  return _mm256_sub_epi32(_mm256_add_epi32(s, s), _mm256_set1_epi32(32768));
}

QX_TARGET_AVX2 inline __m256i load8(const int16_t *p) {
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// Cells i .. i + 7: new cell (saturated) and h, in 32-bit lanes.
QX_TARGET_AVX2 inline void cells8(const LstmTask &task, int32_t i, __m256i *cell_q10,
                                  __m256i *h_q10) {
  const __m256i z_q15 = sigmoid8(load8(task.gates + i));
  const __m256i u_q15 = tanh8(load8(task.gates + task.n + i));
  const __m256i o_q15 = sigmoid8(load8(task.gates + 2 * task.n + i));
  const __m256i kept_q10 = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(load8(task.cell + i),
                                          _mm256_sub_epi32(_mm256_set1_epi32(32767), z_q15)),
                       _mm256_set1_epi32(16384)),
      15);
  const __m256i added_q10 = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(z_q15, u_q15), _mm256_set1_epi32(524288)), 20);
  *cell_q10 = clamp(_mm256_add_epi32(kept_q10, added_q10), -32768, 32767);
  *h_q10 = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(tanh8(*cell_q10), o_q15), _mm256_set1_epi32(524288)), 20);
}

// Sixteen int16 from two 8-lane halves whose values already fit int16.
QX_TARGET_AVX2 inline __m256i narrow16(__m256i low, __m256i high) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8);
}

}  // namespace

QX_TARGET_AVX2 void lstm_cell_i16_avx2(const LstmTask &task, int32_t begin, int32_t end) {
  int32_t i = begin;
  for (; i + 16 <= end; i += 16) {
    __m256i cell_low, h_low, cell_high, h_high;
    cells8(task, i, &cell_low, &h_low);
    cells8(task, i + 8, &cell_high, &h_high);
    // The cell first: where h and the cell are the same elements, h stays.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(task.cell + i), narrow16(cell_low, cell_high));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(task.h + i), narrow16(h_low, h_high));
  }
  for (; i < end; ++i) lstm_cell_one(task, i);
}

}  // namespace qx
