// Normalised log-mel features of one 32768-sample frame for the classifier.
#pragma once

#include <cstdint>

#include "engine/model.h"

namespace qx {

constexpr int32_t kFrameSamples = 32768;

// Fills a tensor taken from the context's buffer cache with F = 32768 / hop
// rows of B features (row-major, F * B floats at the start of a buffer of
// F * input_size floats) and hands it to the caller, who recycles it.
// Every frame starts afresh: no pre-emphasis or window history carries over.
// Working memory lives on the stack (about 8 KB), so nothing is allocated
// besides the tensor.
QxStatus extract_log_mel_features(DeviceContext *context, const FeatureSettings *settings,
                                  const int16_t *pcm, int32_t input_size,
                                  TensorBuffer **features);

}  // namespace qx
