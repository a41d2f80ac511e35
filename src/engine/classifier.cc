#include "engine/classifier.h"

#include <cstring>

#include "base/error_catalogue.h"
#include "runtime/operator_call.h"

namespace qx {
namespace {

QxStatus operator_failed(QxStatus status) {
  QX_ERROR(errors::kOperator, "execute");
  return status;
}

int32_t float_bits(float value) {
  int32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

}  // namespace

QxStatus run_recurrent_layer(DeviceContext *context, const RecurrentLayer *layer,
                             TensorBuffer *output, TensorBuffer *input, int32_t time_steps,
                             bool reverse, bool accumulate) {
  const int32_t h = layer->hidden_size;
  const int32_t i = layer->input_size;
  // State row: cell (H), hidden (H), current input (I), all int16.
  TensorBuffer *state = acquire_buffer(context, 4 * h + 2 * i);
  if (!state) {
    QX_ERROR(errors::kDeviceMemory);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  TensorBuffer *gates = acquire_buffer(context, 6 * h);
  if (!gates) {
    QX_ERROR(errors::kDeviceMemory);
    recycle_buffer(context, state);
    return QX_STATUS_OUT_OF_MEMORY;
  }

  QxStatus status = run_operator(context, kOpZeroBytes, {state}, {4 * h, 0});
  for (int32_t k = 0; status == QX_STATUS_SUCCESS && k < time_steps; ++k) {
    const int32_t t = reverse ? time_steps - 1 - k : k;
    status = run_operator(context, kOpCopyBytes, {state, input}, {2 * i, 4 * h, 2 * i * t});
    if (status != QX_STATUS_SUCCESS) break;
    status = run_operator(context, kOpDenseI8, {gates, state, layer->weights, layer->bias},
                          {1, 3 * h, h + i, 0, 2 * h});
    if (status != QX_STATUS_SUCCESS) break;
    status = run_operator(context, kOpLstmCellI16, {state, state, gates}, {h, 2 * h, 0, 0});
    if (status != QX_STATUS_SUCCESS) break;
    // The reverse direction writes the row of its time step, not its iteration.
    status = accumulate ? run_operator(context, kOpAddI16, {output, output, state},
                                       {h, 2 * h * t, 2 * h * t, 2 * h})
                        : run_operator(context, kOpCopyBytes, {output, state},
                                       {2 * h, 2 * h * t, 2 * h});
  }
  if (status != QX_STATUS_SUCCESS) operator_failed(status);
  recycle_buffer(context, gates);
  recycle_buffer(context, state);
  return status;
}

QxStatus classifier_trunk(DeviceContext *context, const RecurrentStack *stack,
                          TensorBuffer *embedding, TensorBuffer *features, int32_t time_steps) {
  const int32_t input_size = stack->forward_layers[0].input_size;
  TensorBuffer *x = acquire_buffer(context, time_steps * input_size * 2);
  if (!x) {
    QX_ERROR(errors::kDeviceMemory);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  QxStatus status = run_operator(context, kOpNormalizeF32ToI16, {x, features},
                                 {float_bits(stack->norm_epsilon), time_steps, input_size});
  if (status != QX_STATUS_SUCCESS) {
    recycle_buffer(context, x);
    return operator_failed(status);
  }

  for (int32_t level = 0; level < stack->num_layers; ++level) {
    const RecurrentLayer &forward = stack->forward_layers[level];
    TensorBuffer *y = acquire_buffer(context, time_steps * forward.hidden_size * 2);
    if (!y) {
      QX_ERROR(errors::kDeviceMemory);
      recycle_buffer(context, x);
      return QX_STATUS_OUT_OF_MEMORY;
    }
    status = run_recurrent_layer(context, &forward, y, x, time_steps, false, false);
    if (status == QX_STATUS_SUCCESS) {
      status = run_recurrent_layer(context, &stack->backward_layers[level], y, x, time_steps,
                                   true, true);
    }
    recycle_buffer(context, x);
    x = y;
    if (status != QX_STATUS_SUCCESS) {
      QX_TRACE("ef77e92");
      recycle_buffer(context, x);
      return status;
    }
  }

  TensorBuffer *pooled = acquire_buffer(context, stack->pooled_size * kFloatBytes);
  if (!pooled) {
    QX_ERROR(errors::kDeviceMemory);
    recycle_buffer(context, x);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  status = run_operator(context, kOpSumRowsI16ToF32, {pooled, x},
                        {time_steps, stack->pooled_size, 0, 0});
  // The copy, the projection and an unknown has_projection all end with
  // "58c33c1": one tag for making the embedding, shared on purpose. A failed
  // pooling has no tag.
  if (status != QX_STATUS_SUCCESS) {
    operator_failed(status);
  } else if (stack->has_projection == 0) {
    status = run_operator(context, kOpCopyBytes, {embedding, pooled},
                          {stack->embedding_size * kFloatBytes, 0, 0});
    if (status != QX_STATUS_SUCCESS) {
      operator_failed(status);
      QX_TRACE("58c33c1");
    }
  } else if (stack->has_projection == 1) {
    status = run_operator(context, kOpMatmulF32, {embedding, pooled, stack->projection_weights},
                          {1, stack->embedding_size, stack->pooled_size, 0, 0, 0});
    if (status != QX_STATUS_SUCCESS) {
      operator_failed(status);
      QX_TRACE("58c33c1");
    }
  } else {
    QX_TRACE("58c33c1");
    status = QX_STATUS_RUNTIME_ERROR;
  }
  recycle_buffer(context, pooled);
  recycle_buffer(context, x);
  return status;
}

QxStatus classifier_head(DeviceContext *context, const OutputLayer *layer, TensorBuffer *scores,
                         TensorBuffer *embedding) {
  const int32_t n = layer->num_languages;
  TensorBuffer *logits = acquire_buffer(context, n * kFloatBytes);
  if (!logits) {
    QX_ERROR(errors::kDeviceMemory);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  QxStatus status = run_operator(context, kOpMatmulF32, {logits, embedding, layer->weights},
                                 {1, n, layer->input_size, 0, 0, 0});
  if (status == QX_STATUS_SUCCESS) {
    status = run_operator(context, kOpAddF32, {logits, logits, layer->bias}, {n, 0, 0, 0});
  }
  if (status == QX_STATUS_SUCCESS) {
    status = run_operator(context, kOpSoftmaxF32, {scores, logits}, {1, n, 0, 0});
  }
  recycle_buffer(context, logits);
  return status == QX_STATUS_SUCCESS ? status : operator_failed(status);
}

}  // namespace qx
