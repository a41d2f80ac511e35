// Pre-emphasis and windowing of both front ends, eight samples at a time.
// Each sample's pre-emphasis reads the raw sample before it again, so no
// value is carried from one vector to the next.
#include <cstdint>

#include "frontend/front_end_portable.h"
#include "frontend/vad_tables.h"
#include "frontend/x86/avx2_blocks.h"

namespace qx {
namespace {

constexpr float kSampleScale = 3.0517578e-05f;  // 2^-15
constexpr float kPreEmphasis = 0.97f;

QX_FRONT_END_AVX2 inline __m256 load_samples(const int16_t *pcm) {
  return _mm256_cvtepi32_ps(
      _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pcm))));
}

}  // namespace

QX_FRONT_END_AVX2 void log_mel_frame_avx2(const int16_t *pcm, int32_t end, const float *window,
                                          float *frame) {
  const int32_t start = end - 512;
  // The first windows of a frame reach back before sample 0.
  if (start < 1) return log_mel_frame_portable(pcm, end, window, frame);
  const __m256 scale = _mm256_set1_ps(kSampleScale);
  const __m256 factor = _mm256_set1_ps(kPreEmphasis);
  for (int i = 0; i < 512; i += 8) {
    const __m256 sample = _mm256_mul_ps(load_samples(pcm + start + i), scale);
    const __m256 previous = _mm256_mul_ps(load_samples(pcm + start + i - 1), scale);
    const __m256 emphasised = _mm256_sub_ps(sample, _mm256_mul_ps(factor, previous));
    _mm256_storeu_ps(frame + i, _mm256_mul_ps(emphasised, _mm256_loadu_ps(window + i)));
  }
}

QX_FRONT_END_AVX2 void vad_frame_avx2(const int16_t *samples, int16_t previous_sample,
                                      float *history, float *frame) {
  const __m256 factor = _mm256_set1_ps(kPreEmphasis);
  for (int i = 0; i < 256; i += 8) {
    const __m256 sample = load_samples(samples + i);
    __m256 previous;
    if (i == 0) {
      // [previous_sample, x0 .. x6]: the sample vector moved up one lane.
      previous = _mm256_permutevar8x32_ps(sample, _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6));
      previous = _mm256_blend_ps(previous, _mm256_set1_ps(static_cast<float>(previous_sample)), 1);
    } else {
      previous = load_samples(samples + i - 1);
    }
    const __m256 emphasised = _mm256_sub_ps(sample, _mm256_mul_ps(factor, previous));
    const __m256 rising = _mm256_loadu_ps(QX_VAD_WINDOW_TABLE + i);
    // Sample 511 - n takes weight n: samples 256 + i .. take 255 - i downwards.
    const __m256 falling = avx2::reverse(_mm256_loadu_ps(QX_VAD_WINDOW_TABLE + 248 - i));
    _mm256_storeu_ps(frame + i, _mm256_mul_ps(_mm256_loadu_ps(history + i), rising));
    _mm256_storeu_ps(frame + 256 + i, _mm256_mul_ps(emphasised, falling));
    _mm256_storeu_ps(history + i, emphasised);
  }
}

}  // namespace qx
