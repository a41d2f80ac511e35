// fixed_log10_q10 of eight band energies at a time, read off the float bits
// of p = 2^33 * E instead of normalising the truncated integer.
//
// With p = 2^e (1 + m / 2^23), 0 <= e <= 62, the normalised integer of the
// scalar function has its leading one at bit 61 after 61 - e octaves (the
// halving above 2^30 - 1 and one doubling fewer cancel), and below it the
// mantissa bits that truncation kept: all of them for e >= 23, the top e
// otherwise. The table index rounds at mantissa bit 13, so
//   j = (m + 2^13) >> 14                          for e >= 10,
//   j = (m >> 14) with its low 9 - e bits cleared  for e <= 9
// (truncation has already dropped bit 13 and the bits the rounding would
// carry from). p < 1 truncates to 0; p >= 2^63 gives 0. No result reaches
// the clamping limits. tests/long compares every energy with the scalar
// function.
#include <cstdint>

#include "frontend/vad_front_end.h"
#include "frontend/vad_tables.h"
#include "frontend/x86/avx2_blocks.h"

namespace qx {
namespace {

// The table widened to int32, so that a gather of entry 512 stays inside it.
const int32_t *log10_table_i32() {
  static const struct Table {
    int32_t entries[513];
    Table() {
      for (int j = 0; j < 513; ++j) entries[j] = QX_LOG10_Q10_TABLE[j];
    }
  } table;
  return table.entries;
}

QX_FRONT_END_AVX2 inline __m256i fixed_log10_8(const float *energy, const int32_t *table) {
  const __m256 p = _mm256_mul_ps(_mm256_loadu_ps(energy), _mm256_set1_ps(8589934592.0f));
  const __m256i bits = _mm256_castps_si256(p);
  const __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127));
  const __m256i m = _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF));
  const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(m, _mm256_set1_epi32(1 << 13)), 14);
  // For e <= 9 the mask keeps the top e of the 9 index bits (shift counts
  // above 31 give 0 and are never selected).
  const __m256i kept =
      _mm256_sllv_epi32(_mm256_set1_epi32(-1), _mm256_sub_epi32(_mm256_set1_epi32(9), e));
  const __m256i truncated = _mm256_and_si256(_mm256_srli_epi32(m, 14), kept);
  const __m256i short_mantissa = _mm256_cmpgt_epi32(_mm256_set1_epi32(10), e);
  const __m256i j = _mm256_blendv_epi8(rounded, truncated, short_mantissa);
  // table[j] - 308 (61 - e)
  const __m256i value = _mm256_add_epi32(
      _mm256_i32gather_epi32(table, j, 4),
      _mm256_sub_epi32(_mm256_mullo_epi32(e, _mm256_set1_epi32(308)), _mm256_set1_epi32(308 * 61)));
  const __m256i below_one = _mm256_cmpgt_epi32(_mm256_setzero_si256(), e);
  const __m256i top = _mm256_cmpgt_epi32(e, _mm256_set1_epi32(62));
  const __m256i floored = _mm256_blendv_epi8(value, _mm256_set1_epi32(-32768), below_one);
  return _mm256_andnot_si256(top, floored);
}

}  // namespace

QX_FRONT_END_AVX2 void fixed_log10_q10_avx2(const float *energies, int16_t *out, int32_t n) {
  const int32_t *table = log10_table_i32();
  int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i low = fixed_log10_8(energies + i, table);
    const __m256i high = fixed_log10_8(energies + i + 8, table);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i),
                        _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8));
  }
  for (; i + 8 <= n; i += 8) {
    const __m256i values = fixed_log10_8(energies + i, table);
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(out + i),
        _mm_packs_epi32(_mm256_castsi256_si128(values), _mm256_extracti128_si256(values, 1)));
  }
  for (; i < n; ++i) out[i] = fixed_log10_q10(energies[i]);
}

}  // namespace qx
