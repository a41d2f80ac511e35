// dense_i8 / dense_acc_i8 with 16 products per step: int8 weights widened to
// int16 and multiplied with x by pairs into 32-bit lanes (vpmaddwd), summed
// with wrapping adds, so any order gives the reference's sum. Inputs beyond
// the last whole step are added one by one.
#include <cstring>

#include "cpu/x86/x86_kernels.h"
#include "cpu/x86/x86_target.h"

namespace qx {
namespace {

QX_TARGET_AVX2 inline __m256i load_x(const int16_t *x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x));
}

QX_TARGET_AVX2 inline __m256i load_w(const int8_t *w) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(w)));
}

// [sum of a's lanes, b's, c's, d's].
QX_TARGET_AVX2 inline __m128i lane_sums(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i abcd = _mm256_hadd_epi32(_mm256_hadd_epi32(a, b), _mm256_hadd_epi32(c, d));
  return _mm_add_epi32(_mm256_castsi256_si128(abcd), _mm256_extracti128_si256(abcd, 1));
}

// Two adjacent int8 or int16 values as one 16- or 32-bit word.
inline int16_t two_bytes(const int8_t *p) {
  int16_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline int32_t two_words(const int16_t *p) {
  int32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// Single-row outputs of four pairs (pair j: outputs o[j] and o[j] + 1), all
// fed by the same loads of x. The eight sums end up in one vector in output
// order, and the bias, rounding and saturation are applied to all at once.
QX_TARGET_AVX2 inline void dense_four_pairs(const DenseTask &task, const int32_t (&o)[4]) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~15;
  const int8_t *w0 = task.w + static_cast<int64_t>(o[0]) * n_in;
  const int8_t *w2 = task.w + static_cast<int64_t>(o[1]) * n_in;
  const int8_t *w4 = task.w + static_cast<int64_t>(o[2]) * n_in;
  const int8_t *w6 = task.w + static_cast<int64_t>(o[3]) * n_in;
  const int8_t *w1 = w0 + n_in;
  const int8_t *w3 = w2 + n_in;
  const int8_t *w5 = w4 + n_in;
  const int8_t *w7 = w6 + n_in;
  __m256i acc0 = _mm256_setzero_si256(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  __m256i acc4 = acc0, acc5 = acc0, acc6 = acc0, acc7 = acc0;
  for (int32_t k = 0; k < steps_end; k += 16) {
    const __m256i x = load_x(task.x + k);
    acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(x, load_w(w0 + k)));
    acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(x, load_w(w1 + k)));
    acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(x, load_w(w2 + k)));
    acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(x, load_w(w3 + k)));
    acc4 = _mm256_add_epi32(acc4, _mm256_madd_epi16(x, load_w(w4 + k)));
    acc5 = _mm256_add_epi32(acc5, _mm256_madd_epi16(x, load_w(w5 + k)));
    acc6 = _mm256_add_epi32(acc6, _mm256_madd_epi16(x, load_w(w6 + k)));
    acc7 = _mm256_add_epi32(acc7, _mm256_madd_epi16(x, load_w(w7 + k)));
  }
  const __m256i h0 =
      _mm256_hadd_epi32(_mm256_hadd_epi32(acc0, acc1), _mm256_hadd_epi32(acc2, acc3));
  const __m256i h1 =
      _mm256_hadd_epi32(_mm256_hadd_epi32(acc4, acc5), _mm256_hadd_epi32(acc6, acc7));
  __m256i sums = _mm256_add_epi32(_mm256_permute2x128_si256(h0, h1, 0x20),
                                  _mm256_permute2x128_si256(h0, h1, 0x31));
  if (steps_end < n_in) {
    const int8_t *const w[8] = {w0, w1, w2, w3, w4, w5, w6, w7};
    alignas(32) uint32_t tails[8];
    for (int j = 0; j < 8; ++j) tails[j] = dense_dot_q17(w[j], task.x, steps_end, n_in);
    sums = _mm256_add_epi32(sums, _mm256_load_si256(reinterpret_cast<const __m256i *>(tails)));
  }
  // (sum + bias * 1024 + 64) >> 7 in wrapping 32-bit lanes, as the
  // reference's unsigned accumulator.
  const __m128i bias_bytes =
      _mm_setr_epi16(two_bytes(task.bias + o[0]), two_bytes(task.bias + o[1]),
                     two_bytes(task.bias + o[2]), two_bytes(task.bias + o[3]), 0, 0, 0, 0);
  const __m256i bias = _mm256_slli_epi32(_mm256_cvtepi8_epi32(bias_bytes), 10);
  __m256i v =
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(sums, bias), _mm256_set1_epi32(64)), 7);
  if (task.accumulate) {
    const __m128i out = _mm_setr_epi32(two_words(task.out + o[0]), two_words(task.out + o[1]),
                                       two_words(task.out + o[2]), two_words(task.out + o[3]));
    v = _mm256_add_epi32(v, _mm256_cvtepi16_epi32(out));
  }
  // Packing saturates each lane to int16: sat16 of the reference.
  const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  if (o[1] == o[0] + 2 && o[2] == o[0] + 4 && o[3] == o[0] + 6) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(task.out + o[0]), packed);
  } else {
    alignas(16) int32_t words[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(words), packed);
    for (int j = 0; j < 4; ++j) std::memcpy(task.out + o[j], &words[j], sizeof(words[j]));
  }
}

// Outputs o and o + 1 of the single row.
QX_TARGET_AVX2 inline void dense_one_pair(const DenseTask &task, int32_t o) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~15;
  const int8_t *w0 = task.w + static_cast<int64_t>(o) * n_in;
  const int8_t *w1 = w0 + n_in;
  __m256i acc0 = _mm256_setzero_si256();
  __m256i acc1 = _mm256_setzero_si256();
  for (int32_t k = 0; k < steps_end; k += 16) {
    const __m256i x = load_x(task.x + k);
    acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(x, load_w(w0 + k)));
    acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(x, load_w(w1 + k)));
  }
  const __m128i sums = lane_sums(acc0, acc1, acc0, acc1);
  const auto s0 = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
  const auto s1 = static_cast<uint32_t>(_mm_extract_epi32(sums, 1));
  dense_store(task, static_cast<uint64_t>(o), o, s0 + dense_dot_q17(w0, task.x, steps_end, n_in));
  dense_store(task, static_cast<uint64_t>(o) + 1, o + 1,
              s1 + dense_dot_q17(w1, task.x, steps_end, n_in));
}

// One output of the single row.
QX_TARGET_AVX2 inline void dense_single(const DenseTask &task, int32_t o) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~15;
  const int8_t *w = task.w + static_cast<int64_t>(o) * n_in;
  __m256i acc = _mm256_setzero_si256();
  for (int32_t k = 0; k < steps_end; k += 16) {
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(load_x(task.x + k), load_w(w + k)));
  }
  const __m128i sums = lane_sums(acc, acc, acc, acc);
  const auto sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
  dense_store(task, static_cast<uint64_t>(o), o, sum + dense_dot_q17(w, task.x, steps_end, n_in));
}

}  // namespace

QX_TARGET_AVX2 void dense_cells_avx2(const DenseTask &task, uint64_t begin, uint64_t end) {
  const int32_t n_in = task.n_in;
  const int32_t steps_end = n_in & ~15;
  const uint64_t n_out = static_cast<uint64_t>(task.n_out);
  for (uint64_t cell = begin; cell < end; ++cell) {
    const auto o = static_cast<int32_t>(cell % n_out);
    const int16_t *x_row = task.x + (cell / n_out) * static_cast<uint64_t>(n_in);
    const int8_t *w_row = task.w + static_cast<int64_t>(o) * n_in;
    __m256i acc = _mm256_setzero_si256();
    for (int32_t k = 0; k < steps_end; k += 16) {
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(load_x(x_row + k), load_w(w_row + k)));
    }
    const __m128i sums = lane_sums(acc, acc, acc, acc);
    const auto sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
    dense_store(task, cell, o, sum + dense_dot_q17(w_row, x_row, steps_end, n_in));
  }
}

// Four pairs at a time (this item's pairs p, p + items, p + 2 items and
// p + 3 items), so that each step of x feeds eight weight rows.
QX_TARGET_AVX2 void dense_pairs_avx2(const DenseTask &task, uint64_t item) {
  const uint64_t pairs = static_cast<uint64_t>(task.n_out) / 2;
  const uint64_t stride = task.items;
  uint64_t p = item;
  for (; p + 3 * stride < pairs; p += 4 * stride) {
    const auto o = static_cast<int32_t>(2 * p);
    const auto step = static_cast<int32_t>(2 * stride);
    dense_four_pairs(task, {o, o + step, o + 2 * step, o + 3 * step});
  }
  for (; p < pairs; p += stride) dense_one_pair(task, static_cast<int32_t>(2 * p));
  if ((task.n_out & 1) && item == 0) dense_single(task, task.n_out - 1);
}

}  // namespace qx
