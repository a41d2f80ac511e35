// real_fft_512 against a double-precision DFT, the closed-form cases, bit
// equality with a plain transcription of its defining steps, aliasing, and
// allocation failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "base/error_catalogue.h"
#include "frontend/fft_tables.h"
#include "frontend/real_fft.h"
#include "frontend/real_fft_stages.h"
#include "base/allocator.h"

// The transcription below must round exactly as the library does.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace qx {
namespace {

using Spectrum = std::vector<float>;

const double kPi = std::acos(-1.0);

std::vector<float> random_input(uint32_t seed, float amplitude) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> sample(-amplitude, amplitude);
  std::vector<float> x(kFftInputFloats);
  for (float &v : x) v = sample(generator);
  return x;
}

Spectrum transform(const std::vector<float> &x) {
  Spectrum out(kFftOutputFloats, 0.0f);
  EXPECT_EQ(real_fft_512(x.data(), out.data()), QX_STATUS_SUCCESS);
  return out;
}

// X[k] / 256, with X[0] and X[256] halved: the scaling the transform promises.
std::vector<double> reference_dft(const std::vector<float> &x) {
  std::vector<double> out(kFftOutputFloats);
  for (int k = 0; k <= 256; ++k) {
    double re = 0.0, im = 0.0;
    for (int n = 0; n < 512; ++n) {
      const double angle = 2.0 * kPi * ((static_cast<long>(k) * n) % 512) / 512.0;
      re += x[n] * std::cos(angle);
      im -= x[n] * std::sin(angle);
    }
    const double scale = (k == 0 || k == 256) ? 1.0 / 512 : 1.0 / 256;
    out[2 * k] = re * scale;
    out[2 * k + 1] = im * scale;
  }
  return out;
}

// The defining steps written out in the plainest form, one complex value at a
// time, to pin the association of every float32 expression.
Spectrum transcribed_transform(const std::vector<float> &x) {
  const float *table = QX_FFT_SINE_TABLE;
  std::vector<float> re(256), im(256);
  for (int n = 0; n < 256; ++n) {
    re[QX_FFT_BIT_REVERSE_TABLE[n] / 2] = x[2 * n];
    im[QX_FFT_BIT_REVERSE_TABLE[n] / 2] = x[2 * n + 1];
  }
  for (int s = 0; s < 8; ++s) {
    const int half = 1 << s, groups = 128 >> s, stride = 256 >> s;
    for (int g = 0; g < groups; ++g) {
      const int base = g * 2 * half;
      for (int j = 0; j < half; ++j) {
        const int top = base + j, bottom = base + j + half;
        const float sn = table[j * stride], cs = table[j * stride + 128];
        const float t_re = re[bottom] * cs + im[bottom] * sn;
        const float t_im = im[bottom] * cs - re[bottom] * sn;
        re[bottom] = re[top] - t_re;
        im[bottom] = im[top] - t_im;
        re[top] = re[top] + t_re;
        im[top] = im[top] + t_im;
      }
    }
  }
  Spectrum out(kFftOutputFloats);
  out[0] = (re[0] + im[0]) * 0.001953125f;
  out[1] = 0.0f;
  out[512] = (re[0] - im[0]) * 0.001953125f;
  out[513] = 0.0f;
  for (int k = 1; k < 256; ++k) {
    const float a = re[k], b = im[k], c = re[256 - k], d = im[256 - k];
    const float cs = table[k + 128], sn = table[k];
    out[2 * k] = (c + a + cs * (b + d) + sn * (c - a)) * 0.001953125f;
    out[2 * k + 1] = (b - d + cs * (c - a) - sn * (b + d)) * 0.001953125f;
  }
  return out;
}

bool same_bits(const float *a, const float *b, size_t count) {
  return std::memcmp(a, b, count * sizeof(float)) == 0;
}

// Random inputs: the transform against the exact DFT of the same float32
// samples, amplitude A. The bound, 1e-7 * A absolute per output value, covers
// the 7-decimal twiddles (error <= 5e-8 each) and eight float32 stages; the
// worst error seen over 50 seeds is 2.1e-8 * A.
TEST(RealFft, MatchesDoublePrecisionDft) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    for (float amplitude : {1.0f, 32768.0f}) {
      const std::vector<float> x = random_input(seed, amplitude);
      const Spectrum out = transform(x);
      const std::vector<double> expected = reference_dft(x);
      const double bound = 1e-7 * amplitude;
      for (int i = 0; i < kFftOutputFloats; ++i) {
        ASSERT_NEAR(out[i], expected[i], bound)
            << "seed " << seed << " amplitude " << amplitude << " bin " << i / 2
            << (i % 2 ? " im" : " re");
      }
    }
  }
}

TEST(RealFft, BitEqualToTranscribedSteps) {
  for (uint32_t seed = 10; seed < 20; ++seed) {
    const std::vector<float> x = random_input(seed, seed % 2 ? 1.0f : 20000.0f);
    const Spectrum out = transform(x);
    const Spectrum expected = transcribed_transform(x);
    EXPECT_TRUE(same_bits(out.data(), expected.data(), kFftOutputFloats)) << "seed " << seed;
  }
}

#if defined(__SSE2__)
// The vector stages must give the portable stages' bits; the transform only
// reaches the portable ones for stages 0 and 1 on this target.
TEST(RealFft, VectorStagesMatchScalarStages) {
  for (int s = 2; s < 8; ++s) {
    const std::vector<float> start = random_input(100 + s, 1000.0f);
    std::vector<float> scalar = start, vector = start;
    fft_stage_scalar(scalar.data(), scalar.data() + 256, s);
    fft_stage_sse2(vector.data(), vector.data() + 256, s);
    EXPECT_TRUE(same_bits(scalar.data(), vector.data(), scalar.size())) << "stage " << s;
  }
}
#endif

// Inputs with a closed-form spectrum. `bin` (if >= 0) must hold `value` + 0i;
// every other value must be within `tolerance` of 0. For a pure cosine the
// leakage is rounding only: mostly below 3e-8, at worst 4.7e-8 (bin 184 of
// the bin-8 cosine), hence 6e-8.
TEST(RealFft, ClosedFormSpectra) {
  struct Case {
    const char *name;
    double (*sample)(int n);
    int bin;
    float value;
    float tolerance;
  };
  const Case cases[] = {
      {"constant 1", [](int) { return 1.0; }, 0, 1.0f, 0.0f},
      {"zeros", [](int) { return 0.0; }, -1, 0.0f, 0.0f},
      {"alternating signs", [](int n) { return n % 2 ? -1.0 : 1.0; }, 256, 1.0f, 0.0f},
      {"cosine at bin 8", [](int n) { return std::cos(2 * kPi * 8 * n / 512); }, 8, 1.0f, 6e-8f},
      {"cosine at bin 100, amplitude 0.5",
       [](int n) { return 0.5 * std::cos(2 * kPi * 100 * n / 512); }, 100, 0.5f, 6e-8f},
  };
  for (const Case &c : cases) {
    std::vector<float> x(kFftInputFloats);
    for (int n = 0; n < kFftInputFloats; ++n) x[n] = static_cast<float>(c.sample(n));
    const Spectrum out = transform(x);
    for (int k = 0; k <= 256; ++k) {
      const float expected_re = k == c.bin ? c.value : 0.0f;
      // The peak carries the rounding of the whole transform, not one bin's.
      const float tolerance = k == c.bin ? 1e-6f : c.tolerance;
      EXPECT_NEAR(out[2 * k], expected_re, tolerance) << c.name << " bin " << k;
      EXPECT_NEAR(out[2 * k + 1], 0.0f, tolerance) << c.name << " bin " << k;
    }
  }
}

TEST(RealFft, DcAndNyquistImaginaryPartsArePositiveZero) {
  std::vector<std::vector<float>> inputs = {
      random_input(3, 1.0f), std::vector<float>(kFftInputFloats, -1.0f),
      std::vector<float>(kFftInputFloats, -0.0f)};
  for (size_t i = 0; i < inputs.size(); ++i) {
    const Spectrum out = transform(inputs[i]);
    EXPECT_EQ(out[1], 0.0f) << i;
    EXPECT_FALSE(std::signbit(out[1])) << i;
    EXPECT_EQ(out[513], 0.0f) << i;
    EXPECT_FALSE(std::signbit(out[513])) << i;
  }
}

TEST(RealFft, EntryPointsAgree) {
  const std::vector<float> x = random_input(7, 1.0f);
  const Spectrum allocating = transform(x);
  Spectrum with_buffer(kFftOutputFloats);
  std::vector<float> work(kFftWorkFloats);
  const long live = allocator_testing::live_blocks();
  real_fft_512_with_buffer(x.data(), with_buffer.data(), work.data());
  EXPECT_EQ(allocator_testing::live_blocks(), live);
  EXPECT_TRUE(same_bits(allocating.data(), with_buffer.data(), kFftOutputFloats));
}

// The input is consumed before any output is written, so the two may share
// memory at any offset: output == input, output behind it, output ahead of it.
TEST(RealFft, InputAndOutputMayShareMemory) {
  const std::vector<float> x = random_input(5, 1.0f);
  const Spectrum expected = transform(x);
  struct Case {
    int input_offset;
    int output_offset;
  };
  for (const Case &c : {Case{0, 0}, Case{3, 0}, Case{0, 3}, Case{256, 0}, Case{0, 256}}) {
    std::vector<float> shared(kFftOutputFloats + 256 + 8, 0.0f);
    std::memcpy(shared.data() + c.input_offset, x.data(), sizeof(float) * kFftInputFloats);
    ASSERT_EQ(real_fft_512(shared.data() + c.input_offset, shared.data() + c.output_offset),
              QX_STATUS_SUCCESS);
    EXPECT_TRUE(same_bits(shared.data() + c.output_offset, expected.data(), kFftOutputFloats))
        << "input at " << c.input_offset << ", output at " << c.output_offset;

    std::memcpy(shared.data() + c.input_offset, x.data(), sizeof(float) * kFftInputFloats);
    std::vector<float> work(kFftWorkFloats);
    real_fft_512_with_buffer(shared.data() + c.input_offset, shared.data() + c.output_offset,
                             work.data());
    EXPECT_TRUE(same_bits(shared.data() + c.output_offset, expected.data(), kFftOutputFloats))
        << "with buffer: input at " << c.input_offset << ", output at " << c.output_offset;
  }
}

// The transform reports allocation failure by status alone: the caller adds
// its own trace, so the stack must hold exactly what was there before.
TEST(RealFft, AllocationFailureLeavesOutputStackAndHeapAlone) {
  error_stack_reset();
  QX_ERROR(errors::kTrace, "before");
  const std::vector<float> x = random_input(9, 1.0f);
  Spectrum out(kFftOutputFloats, 12345.0f);
  const Spectrum untouched = out;

  const long live = allocator_testing::live_blocks();
  allocator_testing::fail_after(0);
  const QxStatus status = real_fft_512(x.data(), out.data());
  allocator_testing::fail_after(-1);
  EXPECT_EQ(allocator_testing::live_blocks(), live);

  EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
  EXPECT_TRUE(same_bits(out.data(), untouched.data(), kFftOutputFloats));
  char **messages = nullptr;
  int32_t depth = 0;
  ASSERT_EQ(qx_get_error_stack(&messages, &depth), QX_STATUS_SUCCESS);
  ASSERT_EQ(depth, 1);
  EXPECT_STREQ(messages[0], "da6b4f4 00000136: before");
  qx_free_error_stack(messages);

  // The next call allocates normally again.
  EXPECT_EQ(real_fft_512(x.data(), out.data()), QX_STATUS_SUCCESS);
  EXPECT_EQ(allocator_testing::live_blocks(), live);
}

}  // namespace
}  // namespace qx
