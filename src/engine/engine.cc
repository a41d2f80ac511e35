// The exported engine entry points: create, process one frame, delete.
#include "engine/engine.h"

#include <cmath>
#include <cstring>

#include "devices/device_selection.h"
#include "engine/classifier.h"
#include "base/error_catalogue.h"
#include "frontend/log_mel.h"
#include "frontend/voice_detector.h"
#include "base/allocator.h"
#include "runtime/device_context.h"

using namespace qx;

namespace {

constexpr const char *kPreferredDevice = "cpu:1";

// Fails an init that got as far as having a device context.
QxStatus init_failed(QxStatus status) {
  QX_TRACE("e53e8fe");
  return status;
}

// Mean voice probability of the frame's 64 chunks, in float32 as summed.
QxStatus mean_voice_probability(QxOrb *engine, const int16_t *pcm, float *mean) {
  float total = 0.0f;
  for (int32_t chunk = 0; chunk < kVoiceChunksPerFrame; ++chunk) {
    float probability = 0.0f;
    const QxStatus status = voice_detector_probability(
        engine->voice_detector, pcm + chunk * kVoiceChunkSamples, &probability);
    if (status != QX_STATUS_SUCCESS) {
      QX_TRACE("50521ba");
      return status;
    }
    total += probability;
  }
  *mean = total * (1.0f / kVoiceChunksPerFrame);  // exact: 64 is a power of two
  return QX_STATUS_SUCCESS;
}

// Features -> trunk -> head -> scores array; every cached tensor goes back.
QxStatus classify(QxOrb *engine, const int16_t *pcm, float **scores) {
  DeviceContext *context = engine->device_context;
  const LogMelSettings settings = log_mel_settings(*engine->model.feature_settings);
  const RecurrentStack *stack = engine->model.recurrent_stack;
  const OutputLayer *output = engine->model.output_layer;

  const int32_t frames = kFrameSamples / settings.hop_length;
  TensorBuffer *features = nullptr;
  QxStatus status = extract_log_mel_features(context, &settings, pcm,
                                             stack->forward_layers[0].input_size, &features);
  if (status != QX_STATUS_SUCCESS) return status;

  TensorBuffer *embedding = acquire_buffer(context, stack->embedding_size * kFloatBytes);
  if (!embedding) {
    QX_ERROR(errors::kDeviceMemory);
    recycle_buffer(context, features);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  status = classifier_trunk(context, stack, embedding, features, frames / 2);
  recycle_buffer(context, features);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("5cdbb5d");
    recycle_buffer(context, embedding);
    return status;
  }

  const int32_t languages = output->num_languages;
  TensorBuffer *score_tensor = acquire_buffer(context, languages * kFloatBytes);
  if (!score_tensor) {
    QX_ERROR(errors::kDeviceMemory);
    recycle_buffer(context, embedding);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  status = classifier_head(context, output, score_tensor, embedding);
  recycle_buffer(context, embedding);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("5668ddc");  // shared on purpose with the download below: one tag for the scores
    recycle_buffer(context, score_tensor);
    return status;
  }

  auto *result = static_cast<float *>(heap_calloc(static_cast<size_t>(languages), sizeof(float)));
  if (!result) {
    QX_ERROR(errors::kHeapExhausted);
    recycle_buffer(context, score_tensor);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  status = download(context, score_tensor, result, 0, languages * kFloatBytes);
  recycle_buffer(context, score_tensor);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("5668ddc");  // the head's tag, shared on purpose
    heap_free(result);
    return status;
  }
  // Finite weights can still overflow the logits; scores that are not
  // numbers are a failed head, never a result.
  for (int32_t i = 0; i < languages; ++i) {
    if (!std::isfinite(result[i])) {
      QX_ERROR(errors::kOperator, "execute");
      QX_TRACE("5668ddc");
      heap_free(result);
      return QX_STATUS_RUNTIME_ERROR;
    }
  }
  *scores = result;
  return QX_STATUS_SUCCESS;
}

}  // namespace

extern "C" QX_API QxStatus qx_orb_init(const char *model_path, const char *device,
                                       float voice_threshold, QxOrb **object) {
  error_stack_reset();
  if (null_argument(model_path, "model_path") ||
      null_argument(device, "device")) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  // NaN fails too: an engine that can never classify a frame is no engine.
  if (!(voice_threshold >= 0.0f && voice_threshold <= 1.0f)) {
    QX_ERROR(errors::kArgumentOutOfRange, "voice_threshold", static_cast<double>(voice_threshold),
             0.0, 1.0);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (null_argument(object, "object")) return QX_STATUS_INVALID_ARGUMENT;

  DeviceContext *context = nullptr;
  QxStatus status = open_device(device, kPreferredDevice, &context);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("6e3295a");
    return status;
  }
  if (!context) {
    QX_ERROR(errors::kNoDeviceContext);
    return init_failed(QX_STATUS_INVALID_ARGUMENT);
  }

  *object = nullptr;
  auto *engine = static_cast<QxOrb *>(host_alloc(context, sizeof(QxOrb)));
  if (!engine) {
    QX_ERROR(errors::kHeapExhausted);
    release_device_context(context);
    return init_failed(QX_STATUS_OUT_OF_MEMORY);
  }
  std::memset(engine, 0, sizeof(*engine));
  engine->device_context = context;
  engine->voice_threshold = voice_threshold;
  retain_device_context(context);

  // The detector takes over the reference that came with the new context.
  status = voice_detector_create(context, &engine->voice_detector);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("c69f96d");
    qx_orb_delete(engine);
    return init_failed(status);
  }
  status = model_read(context, model_path, &engine->model);
  if (status != QX_STATUS_SUCCESS) {
    qx_orb_delete(engine);
    return init_failed(status);
  }
  *object = engine;
  return QX_STATUS_SUCCESS;
}

extern "C" QX_API QxStatus qx_orb_process(QxOrb *object, const int16_t *pcm, float **scores) {
  error_stack_reset();
  if (null_argument(object, "object") ||
      null_argument(pcm, "pcm") ||
      null_argument(scores, "scores")) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  *scores = nullptr;

  float mean = 0.0f;
  const QxStatus status = mean_voice_probability(object, pcm, &mean);
  if (status != QX_STATUS_SUCCESS) return status;
  if (!(mean >= object->voice_threshold)) return QX_STATUS_SUCCESS;  // unvoiced (or NaN)
  return classify(object, pcm, scores);
}

extern "C" QX_API void qx_orb_delete(QxOrb *object) {
  if (!object) return;
  DeviceContext *context = object->device_context;
  voice_detector_delete(object->voice_detector);
  model_release(context, &object->model);
  host_free(context, object);
  release_device_context(context);
}
