// The front ends' logarithms over every float32 they can be given, against
// the definitions they replace. Minutes of work: built and run only with
// QX_ORB_LONG_TESTS (CTest label "long").
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "front_end_reference.h"
#include "frontend/front_end_kernels.h"
#include "frontend/vad_front_end.h"

namespace qx {
namespace {

constexpr uint32_t kPositiveInfinityBits = 0x7F800000u;

// Band energies are never negative or NaN: +0 through +infinity.
TEST(ExhaustiveLog, FixedLog10MatchesTheDoublingDefinition) {
  uint64_t mismatches = 0;
  uint32_t first_mismatch = 0;
  for (uint32_t bits = 0; bits <= kPositiveInfinityBits; ++bits) {
    const float energy = qx_test::float_from_bits(bits);
    if (fixed_log10_q10(energy) != qx_test::fixed_log10_q10_by_doubling(energy)) {
      if (mismatches++ == 0) first_mismatch = bits;
    }
  }
  EXPECT_EQ(mismatches, 0u) << "first at bits 0x" << std::hex << first_mismatch;
}

// The detector's logarithm in every set beyond the portable one, for every
// band energy from +0 to +infinity.
TEST(ExhaustiveLog, FixedLog10OfEverySetMatchesTheScalarFunction) {
  const FrontEndKernelChoice choice = usable_front_end_kernels();
  if (choice.count < 2) GTEST_SKIP() << "this processor runs the portable set only";
  constexpr uint32_t kBlock = 1u << 16;
  std::vector<float> energies(kBlock);
  std::vector<int16_t> got(kBlock);
  for (int32_t s = 1; s < choice.count; ++s) {
    const FrontEndKernels &kernels = *choice.sets[s];
    uint64_t mismatches = 0;
    uint32_t first_mismatch = 0;
    for (uint64_t start = 0; start <= kPositiveInfinityBits; start += kBlock) {
      const uint32_t count =
          static_cast<uint32_t>(start + kBlock <= uint64_t{kPositiveInfinityBits} + 1
                                    ? kBlock
                                    : kPositiveInfinityBits + 1 - start);
      for (uint32_t i = 0; i < count; ++i) {
        energies[i] = qx_test::float_from_bits(static_cast<uint32_t>(start + i));
      }
      kernels.fixed_log10_q10(energies.data(), got.data(), static_cast<int32_t>(count));
      for (uint32_t i = 0; i < count; ++i) {
        if (got[i] != fixed_log10_q10(energies[i]) && mismatches++ == 0) {
          first_mismatch = static_cast<uint32_t>(start + i);
        }
      }
    }
    EXPECT_EQ(mismatches, 0u) << kernels.name << ": first at bits 0x" << std::hex << first_mismatch;
  }
}

// The log-mel extractor's logarithm in every set beyond the portable one
// (whose log10 is the scalar expression itself), for every positive float32
// bit pattern: +0, subnormals, normals, +infinity and the NaNs.
TEST(ExhaustiveLog, Log10OfEverySetMatchesTheScalarExpression) {
  const FrontEndKernelChoice choice = usable_front_end_kernels();
  if (choice.count < 2) GTEST_SKIP() << "this processor runs the portable set only";
  constexpr uint32_t kBlock = 1u << 16;
  std::vector<float> x(kBlock), got(kBlock);
  for (int32_t s = 1; s < choice.count; ++s) {
    const FrontEndKernels &kernels = *choice.sets[s];
    uint64_t mismatches = 0;
    uint32_t first_mismatch = 0;
    for (uint64_t start = 0; start < (uint64_t{1} << 31); start += kBlock) {
      for (uint32_t i = 0; i < kBlock; ++i) {
        x[i] = qx_test::float_from_bits(static_cast<uint32_t>(start + i));
      }
      kernels.log10(x.data(), got.data(), kBlock);
      for (uint32_t i = 0; i < kBlock; ++i) {
        const float expected = qx_test::log10_by_double(x[i]);
        const bool same = std::memcmp(&expected, &got[i], sizeof(float)) == 0 ||
                          (std::isnan(expected) && std::isnan(got[i]));
        if (!same && mismatches++ == 0) first_mismatch = static_cast<uint32_t>(start + i);
      }
    }
    EXPECT_EQ(mismatches, 0u) << kernels.name << ": first at bits 0x" << std::hex << first_mismatch;
  }
}

}  // namespace
}  // namespace qx
