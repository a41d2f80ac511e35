// matmul_f32 for k a multiple of 32, with fused multiply-adds into four
// 8-lane accumulators and a fixed reduction order (see kernel_tasks.h), so
// that every processor with AVX2 and FMA gives the same bits.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {

QX_TARGET_AVX2 void matmul_f32_avx2_fma(const MatmulTask &task, uint64_t begin, uint64_t end) {
  const uint64_t n = static_cast<uint64_t>(task.n);
  const uint64_t k_count = static_cast<uint64_t>(task.k);
  for (uint64_t cell = begin; cell < end; ++cell) {
    const float *x = task.x + (cell / n) * k_count;
    const float *w = task.w + (cell % n) * k_count;
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps();
    __m256 acc3 = _mm256_setzero_ps();
    for (uint64_t k = 0; k < k_count; k += 32) {
      acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + k), _mm256_loadu_ps(w + k), acc0);
      acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(x + k + 8), _mm256_loadu_ps(w + k + 8), acc1);
      acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(x + k + 16), _mm256_loadu_ps(w + k + 16), acc2);
      acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(x + k + 24), _mm256_loadu_ps(w + k + 24), acc3);
    }
    const __m256 g = _mm256_add_ps(_mm256_add_ps(acc2, acc3), _mm256_add_ps(acc0, acc1));
    const __m128 h = _mm_add_ps(_mm256_extractf128_ps(g, 1), _mm256_castps256_ps128(g));
    // (h0 + h1) + (h2 + h3)
    const __m128 pairs = _mm_add_ps(h, _mm_movehdup_ps(h));  // lane 0: h0 + h1, lane 2: h2 + h3
    task.out[cell] = _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
  }
}

}  // namespace qx
