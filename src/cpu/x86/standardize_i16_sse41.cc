// standardize_i16 on 8 columns per step (cols a multiple of 8): the
// reference's sat16(((x - shift) scale) >> 10) in 32-bit lanes; the product
// fits (|x - shift| <= 65535, |scale| <= 32768) and packing saturates.
#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

QX_TARGET_SSE41 inline __m128i widen(const int16_t *p) {
  return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}

QX_TARGET_SSE41 inline __m128i standardize4(const int16_t *x, const int16_t *shift,
                                            const int16_t *scale) {
  const __m128i centred = _mm_sub_epi32(widen(x), widen(shift));
  return _mm_srai_epi32(_mm_mullo_epi32(centred, widen(scale)), 10);
}

}  // namespace

QX_TARGET_SSE41 void standardize_i16_sse41(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x = static_cast<const int16_t *>(task.x) + r * cols;
    int16_t *out = static_cast<int16_t *>(task.out) + r * cols;
    for (uint64_t c = 0; c < cols; c += 8) {
      const __m128i low = standardize4(x + c, task.shift + c, task.scale + c);
      const __m128i high = standardize4(x + c + 4, task.shift + c + 4, task.scale + c + 4);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + c), _mm_packs_epi32(low, high));
    }
  }
}

}  // namespace qx
