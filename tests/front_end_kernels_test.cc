// Every front-end kernel set this processor runs against the portable set,
// bit for bit, over inputs that probe each loop's edges. On a processor with
// the portable set alone the comparisons are trivially equal.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "frontend/front_end_kernels.h"
#include "frontend/real_fft.h"

namespace qx {
namespace {

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<float> uniform(uint32_t seed, size_t count, float low, float high) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(low, high);
  std::vector<float> out(count);
  for (float &v : out) v = value(generator);
  return out;
}

class FrontEndKernelsTest : public testing::TestWithParam<const FrontEndKernels *> {
 protected:
  const FrontEndKernels &portable() const { return *usable_front_end_kernels().sets[0]; }
  const FrontEndKernels &tested() const { return *GetParam(); }
};

TEST_P(FrontEndKernelsTest, TransformGivesThePortableBits) {
  std::vector<std::vector<float>> inputs = {
      uniform(1, kFftInputFloats, -1.0f, 1.0f), uniform(2, kFftInputFloats, -65536.0f, 65536.0f),
      uniform(3, kFftInputFloats, -1e-40f, 1e-40f),  // subnormal samples
      std::vector<float>(kFftInputFloats, -0.0f),    // signed zeros through every sum
      std::vector<float>(kFftInputFloats, 1.0f)};
  std::vector<float> impulses(kFftInputFloats, 0.0f);
  impulses[0] = -0.0f;
  impulses[1] = 3.0f;
  impulses[511] = -7.0f;
  inputs.push_back(impulses);
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::vector<float> expected(kFftOutputFloats), got(kFftOutputFloats);
    std::vector<float> work(kFftWorkFloats);
    portable().real_fft(inputs[i].data(), expected.data(), work.data());
    tested().real_fft(inputs[i].data(), got.data(), work.data());
    EXPECT_TRUE(same_bits(expected, got)) << "input " << i;
  }
}

std::vector<const FrontEndKernels *> usable_sets() {
  const FrontEndKernelChoice choice = usable_front_end_kernels();
  return std::vector<const FrontEndKernels *>(choice.sets, choice.sets + choice.count);
}

INSTANTIATE_TEST_SUITE_P(UsableSets, FrontEndKernelsTest, testing::ValuesIn(usable_sets()),
                         [](const testing::TestParamInfo<const FrontEndKernels *> &info) {
                           return std::string(info.param->name);
                         });

}  // namespace
}  // namespace qx
