#include "frontend/log_mel.h"

#include "base/error_catalogue.h"
#include "frontend/front_end_kernels.h"
#include "frontend/mel_tables.h"
#include "frontend/real_fft.h"
#include "runtime/device_context.h"

namespace qx {
namespace {

constexpr int kWindow = kFftInputFloats;  // model files are validated to this length
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

  const FrontEndKernels &kernels = front_end_kernels();
  float frame[kWindow];
  float spectrum[kFftOutputFloats];
  float work[kFftWorkFloats];
  float power[kFftBinCount];
  float energies[kMelBandCount];
  float log_energies[kMelBandCount];

  for (int32_t f = 0; f < frames; ++f) {
    kernels.log_mel_frame(pcm, (f + 1) * hop, settings->analysis_window, frame);
    kernels.real_fft(frame, spectrum, work);
    kernels.bin_powers(spectrum, power);
    kernels.mel_energies(power, energies, bands);
    for (int32_t b = 0; b < bands; ++b) energies[b] += settings->log_floor;
    kernels.log10(energies, log_energies, bands);
    float *row = out + f * bands;
    for (int32_t b = 0; b < bands; ++b) {
      row[b] = (log_energies[b] - settings->feature_mean[b]) / settings->feature_std[b];
    }
  }
  unmap(context, tensor, 1);
  *features = tensor;
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
