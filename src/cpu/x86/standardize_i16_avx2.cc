// standardize_i16 on 16 columns per step (cols a multiple of 16): the
// reference's sat16(((x - shift) scale) >> 10) in 32-bit lanes; the product
// fits (|x - shift| <= 65535, |scale| <= 32768) and packing saturates.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

QX_TARGET_AVX2 inline __m256i widen(const int16_t *p) {
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

QX_TARGET_AVX2 inline __m256i standardize8(const int16_t *x, const int16_t *shift,
                                           const int16_t *scale) {
  const __m256i centred = _mm256_sub_epi32(widen(x), widen(shift));
  return _mm256_srai_epi32(_mm256_mullo_epi32(centred, widen(scale)), 10);
}

}  // namespace

QX_TARGET_AVX2 void standardize_i16_avx2(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x = static_cast<const int16_t *>(task.x) + r * cols;
    int16_t *out = static_cast<int16_t *>(task.out) + r * cols;
    for (uint64_t c = 0; c < cols; c += 16) {
      const __m256i low = standardize8(x + c, task.shift + c, task.scale + c);
      const __m256i high = standardize8(x + c + 8, task.shift + c + 8, task.scale + c + 8);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + c),
                          _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8));
    }
  }
}

}  // namespace qx
