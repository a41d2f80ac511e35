#include "frontend/log_mel.h"

#include <cmath>

#include "base/error_catalogue.h"
#include "frontend/mel_filterbank.h"
#include "frontend/real_fft.h"
#include "runtime/device_context.h"

namespace qx {
namespace {

constexpr int kWindow = kFftInputFloats;  // model files are validated to this length
constexpr float kSampleScale = 3.0517578e-05f;  // 2^-15: int16 to [-1, 1)
constexpr float kPreEmphasis = 0.97f;
constexpr int32_t kFloatBytes = sizeof(float);

}  // namespace

QxStatus extract_log_mel_features(DeviceContext *context, const LogMelSettings *settings,
                                  const int16_t *pcm, int32_t input_size,
                                  TensorBuffer **features) {
  const int32_t hop = settings->hop_length;
  const int32_t bands = settings->num_mel_bands;
  const int32_t frames = kFrameSamples / hop;
  TensorBuffer *tensor = acquire_buffer(context, frames * input_size * kFloatBytes);
  if (!tensor) {
    QX_ERROR(errors::kDeviceMemory);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  auto *out = static_cast<float *>(map(context, tensor, kMapWrite));
  if (!out) {  // a device that cannot map: nothing mapped, nothing to unmap
    recycle_buffer(context, tensor);
    QX_ERROR(errors::kDeviceFailure);
    return QX_STATUS_RUNTIME_ERROR;
  }

  // The last 512 pre-emphasised samples, indexed by sample number mod 512;
  // zeros before the frame's first sample.
  float ring[kWindow] = {};
  float frame[kWindow];
  float spectrum[kFftOutputFloats];
  float work[kFftWorkFloats];
  float power[kFftBinCount];
  float previous = 0.0f;

  for (int32_t f = 0; f < frames; ++f) {
    const int32_t end = (f + 1) * hop;
    for (int32_t n = f * hop; n < end; ++n) {
      const float sample = static_cast<float>(pcm[n]) * kSampleScale;
      ring[n % kWindow] = sample - kPreEmphasis * previous;
      previous = sample;
    }
    for (int i = 0; i < kWindow; ++i) {
      frame[i] = ring[(end + i) % kWindow] * settings->analysis_window[i];
    }
    real_fft_512_with_buffer(frame, spectrum, work);
    for (int k = 0; k < kFftBinCount; ++k) {
      const float re = spectrum[2 * k];
      const float im = spectrum[2 * k + 1];
      power[k] = re * re + im * im;
    }
    float *row = out + f * bands;
    for (int32_t b = 0; b < bands; ++b) {
      // log10 of the float32 sum, rounded once to float32.
      const float sum = mel_band_energy(power, b) + settings->log_floor;
      const float log_energy = static_cast<float>(std::log10(static_cast<double>(sum)));
      row[b] = (log_energy - settings->feature_mean[b]) / settings->feature_std[b];
    }
  }
  unmap(context, tensor, 1);
  *features = tensor;
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
