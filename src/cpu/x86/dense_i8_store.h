// The last step of the vector dense variants' four-pair groups: eight
// finished wrapping dot products (pair j: outputs o[j] and o[j] + 1) to
// outputs. Included after a simd_*.h, which names the functions.
#pragma once

#include <cstring>

#include "cpu/kernels/kernel_tasks.h"

namespace qx {
namespace {

QX_SIMD_TARGET inline void dense_store_four_pairs(const DenseTask &task, const int32_t (&o)[4],
                                                  simd::I32x8 sums) {
  // (sum + bias * 1024 + 64) >> 7 in wrapping 32-bit lanes, as the
  // reference's unsigned accumulator, plus the existing outputs for
  // dense_acc_i8; packing saturates each lane to int16: sat16 of the
  // reference.
  int8_t bias[8];
  for (int j = 0; j < 4; ++j) std::memcpy(bias + 2 * j, task.bias + o[j], 2);
  sums = simd::add8(sums, simd::slli8(simd::widen8_i8(bias), 10));
  simd::I32x8 v = simd::srai8(simd::add8(sums, simd::set8(64)), 7);
  if (task.accumulate) {
    int16_t previous[8];
    for (int j = 0; j < 4; ++j) std::memcpy(previous + 2 * j, task.out + o[j], 4);
    v = simd::add8(v, simd::widen8_i16(previous));
  }
  const __m128i packed = simd::pack8(v);
  if (o[1] == o[0] + 2 && o[2] == o[0] + 4 && o[3] == o[0] + 6) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(task.out + o[0]), packed);
  } else {
    alignas(16) int32_t words[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(words), packed);
    for (int j = 0; j < 4; ++j) std::memcpy(task.out + o[j], &words[j], sizeof(words[j]));
  }
}

}  // namespace
}  // namespace qx
