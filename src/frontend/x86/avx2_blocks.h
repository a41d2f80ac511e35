// Register-level building blocks shared by the AVX2 front-end files. Only
// those files include it.
#pragma once

#include <immintrin.h>

#include "frontend/x86/front_end_avx2.h"

namespace qx {
namespace {
namespace avx2 {

// Lane j of row i becomes lane i of row j.
QX_FRONT_END_AVX2 inline void transpose8x8(__m256 row[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(row[0], row[1]);
  const __m256 t1 = _mm256_unpackhi_ps(row[0], row[1]);
  const __m256 t2 = _mm256_unpacklo_ps(row[2], row[3]);
  const __m256 t3 = _mm256_unpackhi_ps(row[2], row[3]);
  const __m256 t4 = _mm256_unpacklo_ps(row[4], row[5]);
  const __m256 t5 = _mm256_unpackhi_ps(row[4], row[5]);
  const __m256 t6 = _mm256_unpacklo_ps(row[6], row[7]);
  const __m256 t7 = _mm256_unpackhi_ps(row[6], row[7]);
  // Columns j and j + 4 of four rows each.
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  row[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  row[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  row[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  row[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  row[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  row[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  row[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  row[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Lanes in reverse order.
QX_FRONT_END_AVX2 inline __m256 reverse(__m256 v) {
  return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

}  // namespace avx2
}  // namespace
}  // namespace qx
