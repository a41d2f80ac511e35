// Normalised log-mel features of one 32768-sample frame for the classifier.
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

struct DeviceContext;
struct TensorBuffer;

constexpr int32_t kFrameSamples = 32768;

// What the extractor needs of a model: the engine fills it from the model
// file's feature record, which has already checked the ranges below.
struct LogMelSettings {
  int32_t hop_length;            // samples between windows, 1 to 32768
  int32_t num_mel_bands;         // B, 1 to 40
  float log_floor;               // added to each band energy before log10
  const float *feature_mean;     // B values subtracted from the log energy
  const float *feature_std;      // B divisors applied after the subtraction
  const float *analysis_window;  // 512 values
};

// Fills a tensor taken from the context's buffer cache with F = 32768 / hop
// rows of B features (row-major, F * B floats at the start of a buffer of
// F * input_size floats) and hands it to the caller, who recycles it.
// Every frame starts afresh: no pre-emphasis or window history carries over.
// Working memory lives on the stack (about 8 KB), so nothing is allocated
// besides the tensor.
QxStatus extract_log_mel_features(DeviceContext *context, const LogMelSettings *settings,
                                  const int16_t *pcm, int32_t input_size,
                                  TensorBuffer **features);

}  // namespace qx
