#include "cpu/fast_divide.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace qx {
namespace {

TEST(FastDivide, EqualsPlainDivision) {
  std::mt19937_64 random(7);
  std::vector<uint64_t> divisors = {1ull << 32, (1ull << 32) + 1, (1ull << 63) + 1, ~0ull};
  for (uint64_t d = 2; d <= 1024; ++d) divisors.push_back(d);
  for (uint64_t d : divisors) {
    const FastDivisor64 divisor = fast_divisor_make(d);
    std::vector<uint64_t> numerators = {0,          1,     d - 1,      d,     d + 1, 0xffffffffu,
                                        1ull << 32, (1ull << 32) + 1, 1ull << 63, ~0ull, ~0ull - d};
    for (int i = 0; i < 64; ++i) numerators.push_back(random() >> (random() % 64));
    for (uint64_t n : numerators) ASSERT_EQ(fast_divide(n, divisor), n / d) << n << " / " << d;
  }
}

#if defined(__SIZEOF_INT128__)
// The 32-bit building blocks are what targets without 128-bit integers run.
TEST(FastDivide, HalfWordArithmeticMatches128BitIntegers) {
  __extension__ typedef unsigned __int128 u128;
  std::mt19937_64 random(3);
  for (int i = 0; i < 100000; ++i) {
    const uint64_t a = random() >> (i % 64), b = random() >> (i / 64 % 64);
    ASSERT_EQ(multiply_high_u64_portable(a, b), static_cast<uint64_t>((u128{a} * b) >> 64));
    const uint64_t d = b | 1, high = a % d, low = random();
    ASSERT_EQ(divide_128_by_64(high, low, d), static_cast<uint64_t>(((u128{high} << 64) | low) / d));
  }
  EXPECT_EQ(multiply_high_u64_portable(~0ull, ~0ull), ~0ull - 1);
}
#endif

}  // namespace
}  // namespace qx
