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

TEST(FastDivide, ThirtyTwoBitWordsEqualPlainDivision) {
  std::mt19937 random(11);
  std::vector<uint32_t> divisors = {(1u << 16) + 1, (1u << 31) - 1, 1u << 31, (1u << 31) + 1,
                                    0xfffffffeu, 0xffffffffu};
  for (uint32_t d = 2; d <= 1024; ++d) divisors.push_back(d);
  for (uint32_t d : divisors) {
    const FastDivisor32 divisor = fast_divisor32_make(d);
    std::vector<uint32_t> numerators = {0,        1,       d - 1,       d,          d + 1,
                                        1u << 31, 2 * d - 1, 0xfffffffeu, 0xffffffffu, 0u - d};
    for (int i = 0; i < 64; ++i) numerators.push_back(random() >> (random() % 32));
    for (uint32_t n : numerators) ASSERT_EQ(fast_divide32(n, divisor), n / d) << n << " / " << d;
  }
}

// The pool's divisor: 64-bit constants, or 32-bit ones that still divide
// counts beyond 32 bits.
TEST(FastDivide, WordDivisionCoversEverySixtyFourBitCount) {
  for (uint32_t d : {2u, 3u, 7u, 64u, 1000u, 0xffffffffu}) {
    const WordDivisor divisor = word_divisor_make(d);
    for (uint64_t n : {0ull, 1ull, 10ull, 0xffffffffull, 1ull << 32, (1ull << 32) + 5, ~0ull}) {
      ASSERT_EQ(word_divide(n, d, divisor), n / d) << n << " / " << d;
    }
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
