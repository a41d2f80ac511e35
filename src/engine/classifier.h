// The language classifier: normalised log-mel features through a stack of
// bidirectional recurrent levels, a sum over time, an optional projection and
// a dense softmax layer. Every intermediate tensor comes from the context's
// buffer cache and goes back to it before each call returns.
#pragma once

#include "engine/model.h"

namespace qx {

// Bytes per value of the classifier's float32 tensors: features, pooled
// vector, embedding, logits and scores.
constexpr int32_t kFloatBytes = sizeof(float);

// features (T*2 frames of B float32 in a buffer of at least T rows of I0)
// -> embedding (E float32). T = time steps.
QxStatus classifier_trunk(DeviceContext *context, const RecurrentStack *stack,
                          TensorBuffer *embedding, TensorBuffer *features, int32_t time_steps);

// embedding -> scores = softmax(W * embedding + bias), N float32.
QxStatus classifier_head(DeviceContext *context, const OutputLayer *layer, TensorBuffer *scores,
                         TensorBuffer *embedding);

// One direction of one level over T steps into `output` (T rows of H int16),
// walking time backwards when `reverse`, adding onto `output` when
// `accumulate`.
QxStatus run_recurrent_layer(DeviceContext *context, const RecurrentLayer *layer,
                             TensorBuffer *output, TensorBuffer *input, int32_t time_steps,
                             bool reverse, bool accumulate);

}  // namespace qx
