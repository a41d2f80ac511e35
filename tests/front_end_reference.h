// The front ends' scalar functions as first written, kept as references for
// the faster forms that must return the same bits for every input.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "frontend/vad_tables.h"

namespace qx_test {

// fixed_log10_q10 by its definition: normalise by one halving above 2^30 - 1
// and then by doubling, one octave at a time.
inline int16_t fixed_log10_q10_by_doubling(float energy) {
  const float scaled = energy * 8589934592.0f;
  if (scaled >= 9.223372e18f) return 0;
  int64_t v = static_cast<int64_t>(scaled);
  if (v == 0) return -32768;
  int32_t octaves = 0;
  if (v > (int64_t{1} << 30) - 1) {
    v >>= 1;
    octaves = -1;
  }
  while (v <= (int64_t{1} << 61) - 1) {
    v *= 2;
    octaves += 1;
  }
  const int64_t index = ((v + (int64_t{1} << 51)) >> 52) - 512;
  const int32_t result = qx::QX_LOG10_Q10_TABLE[index] - 308 * octaves;
  return static_cast<int16_t>(result < -32768 ? -32768 : result > 32767 ? 32767 : result);
}

// The log-mel extractor's logarithm: log10 of the widened sum, rounded once.
inline float log10_by_double(float x) {
  return static_cast<float>(std::log10(static_cast<double>(x)));
}

inline float float_from_bits(uint32_t bits) {
  float x;
  static_assert(sizeof x == sizeof bits, "float32");
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

}  // namespace qx_test
