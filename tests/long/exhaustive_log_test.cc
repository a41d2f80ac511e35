// The front ends' logarithms over every float32 they can be given, against
// the definitions they replace. Minutes of work: built and run only with
// QX_ORB_LONG_TESTS (CTest label "long").
#include <gtest/gtest.h>

#include <cstdint>

#include "front_end_reference.h"
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

}  // namespace
}  // namespace qx
