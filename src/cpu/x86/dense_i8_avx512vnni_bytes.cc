// Single-row dense_i8 and dense_acc_i8 for AVX-512 VNNI by vpdpbusd over the
// bytes of x. With x = 256 hi + lo (lo its unsigned low byte, hi its signed
// high byte),
//   sum w x = sum lo w + 256 (sum (w + 128) hi - 128 sum hi),
// and lo (unsigned) times w (signed), w + 128 (w ^ 0x80, unsigned) times hi
// (signed) are the instruction's operand kinds. Every term wraps in 32 bits
// as the reference's sum does, so any order gives its bits. Per 64 inputs a
// row costs two vpdpbusd and an xor, where vpdpwssd needs two widenings of
// the weights besides its two multiplies.
#define QX_SIMD_VNNI 1
#include "cpu/x86/simd_avx512.h"
#include "cpu/x86/dense_i8_store.h"
#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

constexpr int32_t kByteStep = 64;  // inputs per step

// The split x of one call, on the stack; longer rows take vpdpwssd.
constexpr int32_t kMaxSplitInputs = 2048;

// Read and written with unaligned loads and stores, which cost nothing more
// on aligned data: 64-bit Windows GCC may not honour the alignment of a
// local (GCC bug 54412).
struct SplitX {
  // Zero from n_in to the end of its last step: zero bytes add nothing
  // whatever the weights, so the last step needs only the weights masked.
  alignas(64) uint8_t lo[kMaxSplitInputs];
  alignas(64) int8_t hi[kMaxSplitInputs];
  uint32_t correction;  // 256 * 128 * sum hi, wrapping
};

QX_SIMD_TARGET void split_x(const int16_t *x, int32_t n_in, SplitX *split) {
  const int32_t padded = (n_in + kByteStep - 1) & ~(kByteStep - 1);
  const __m512i ones = _mm512_set1_epi16(1);
  __m512i hi_sums = _mm512_setzero_si512();
  for (int32_t k = 0; k < padded; k += 32) {
    const int32_t rest = n_in - k;
    const __m512i v = rest >= 32 ? _mm512_loadu_si512(x + k)
                      : rest > 0 ? _mm512_maskz_loadu_epi16(_bzhi_u32(~0u, rest), x + k)
                                 : _mm512_setzero_si512();
    const __m512i high = _mm512_srai_epi16(v, 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(split->lo + k), _mm512_cvtepi16_epi8(v));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(split->hi + k), _mm512_cvtepi16_epi8(high));
    hi_sums = _mm512_add_epi32(hi_sums, _mm512_madd_epi16(high, ones));
  }
  split->correction = static_cast<uint32_t>(_mm512_reduce_add_epi32(hi_sums)) * 32768u;
}

// acc + the four products of unsigned bytes u and signed bytes s per 32-bit
// lane, wrapping (vpdpbusd, not the saturating vpdpbusds). Tied as
// dot_pairs_add is, for the same reason.
QX_SIMD_TARGET inline simd::I dot_bytes_add(simd::I acc, simd::I u, simd::I s) {
  __asm__("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(u), "v"(s));
  return acc;
}

// Per row r the lanes of sum lo w + 256 sum (w + 128) hi, all fed by the
// same loads of the split x.
template <int R>
QX_SIMD_TARGET inline void byte_dots(const int8_t *const (&w)[R], const SplitX &split,
                                     int32_t n_in, simd::I (&out)[R]) {
  const int32_t steps_end = n_in & ~(kByteStep - 1);
  const simd::I flip = _mm512_set1_epi8(static_cast<char>(0x80));
  simd::I lo_acc[R], hi_acc[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) lo_acc[r] = hi_acc[r] = simd::zero();
  for (int32_t k = 0; k < steps_end; k += kByteStep) {
    const simd::I lo = _mm512_loadu_si512(split.lo + k);
    const simd::I hi = _mm512_loadu_si512(split.hi + k);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      simd::I wr = _mm512_loadu_si512(w[r] + k);
      // One load for both products: folded into the xor, the compiler
      // would read each step of weights twice.
      __asm__("" : "+v"(wr));
      lo_acc[r] = dot_bytes_add(lo_acc[r], lo, wr);
      hi_acc[r] = dot_bytes_add(hi_acc[r], _mm512_xor_si512(wr, flip), hi);
    }
  }
  if (steps_end < n_in) {
    // Masked-off weights are not read: a row may end before unmapped memory.
    const __mmask64 mask = _bzhi_u64(~0ull, static_cast<uint32_t>(n_in - steps_end));
    const simd::I lo = _mm512_loadu_si512(split.lo + steps_end);
    const simd::I hi = _mm512_loadu_si512(split.hi + steps_end);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const simd::I wr = _mm512_maskz_loadu_epi8(mask, w[r] + steps_end);
      lo_acc[r] = dot_bytes_add(lo_acc[r], lo, wr);
      hi_acc[r] = dot_bytes_add(hi_acc[r], _mm512_xor_si512(wr, flip), hi);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) out[r] = _mm512_add_epi32(lo_acc[r], _mm512_slli_epi32(hi_acc[r], 8));
}

// Pair j: outputs o[j] and o[j] + 1.
QX_SIMD_TARGET inline void byte_four_pairs(const DenseTask &task, const SplitX &split,
                                           const int32_t (&o)[4]) {
  const int32_t n_in = task.n_in;
  const int8_t *const w0 = task.w + static_cast<int64_t>(o[0]) * n_in;
  const int8_t *const w2 = task.w + static_cast<int64_t>(o[1]) * n_in;
  const int8_t *const w4 = task.w + static_cast<int64_t>(o[2]) * n_in;
  const int8_t *const w6 = task.w + static_cast<int64_t>(o[3]) * n_in;
  const int8_t *const w[8] = {w0, w0 + n_in, w2, w2 + n_in, w4, w4 + n_in, w6, w6 + n_in};
  simd::I acc[8];
  byte_dots<8>(w, split, n_in, acc);
  const simd::I32x8 sums = simd::sums8(acc[0], acc[1], acc[2], acc[3], acc[4], acc[5], acc[6],
                                       acc[7]);
  dense_store_four_pairs(task, o,
                         simd::add8(sums, simd::set8(static_cast<int32_t>(0u - split.correction))));
}

// Outputs o and o + 1 (with_second), or o alone.
QX_SIMD_TARGET inline void byte_one_pair(const DenseTask &task, const SplitX &split, int32_t o,
                                         bool with_second) {
  const int8_t *const w0 = task.w + static_cast<int64_t>(o) * task.n_in;
  // A lone last output runs the first row twice rather than read past it.
  const int8_t *const w[2] = {w0, with_second ? w0 + task.n_in : w0};
  simd::I acc[2];
  byte_dots<2>(w, split, task.n_in, acc);
  const __m128i sums = simd::lane_sums(acc[0], acc[1], acc[0], acc[1]);
  const auto s0 = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
  dense_store(task, static_cast<uint64_t>(o), o, s0 - split.correction);
  if (with_second) {
    const auto s1 = static_cast<uint32_t>(_mm_extract_epi32(sums, 1));
    dense_store(task, static_cast<uint64_t>(o) + 1, o + 1, s1 - split.correction);
  }
}

}  // namespace

// The pairs of dense_pairs_avx512vnni, in the same order.
QX_SIMD_TARGET void dense_pairs_avx512vnni_bytes(const DenseTask &task, uint64_t item) {
  if (task.n_in > kMaxSplitInputs) {
    dense_pairs_avx512vnni(task, item);
    return;
  }
  SplitX split;  // split_x writes every byte that is read
  split_x(task.x, task.n_in, &split);
  const uint64_t pairs = static_cast<uint64_t>(task.n_out) / 2;
  const uint64_t stride = task.items;
  uint64_t p = item;
  for (; p + 3 * stride < pairs; p += 4 * stride) {
    const auto o = static_cast<int32_t>(2 * p);
    const auto step = static_cast<int32_t>(2 * stride);
    byte_four_pairs(task, split, {o, o + step, o + 2 * step, o + 3 * step});
  }
  for (; p < pairs; p += stride) byte_one_pair(task, split, static_cast<int32_t>(2 * p), true);
  if ((task.n_out & 1) && item == 0) byte_one_pair(task, split, task.n_out - 1, false);
}

}  // namespace qx
