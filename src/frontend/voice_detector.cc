#include "frontend/voice_detector.h"

#include <cstring>

#include "base/error_catalogue.h"
#include "frontend/vad_front_end.h"
#include "frontend/vad_network.h"
#include "base/allocator.h"
#include "runtime/device_context.h"
#include "runtime/graph_interpreter.h"

namespace qx {

struct VoiceDetector {
  VadFrontEnd *front_end;
  DeviceContext *context;  // the detector's own reference
  TensorBuffer **tensors;  // kVadTensorCount, from the context's host_alloc
  int32_t tensor_count;
};

namespace {

QxStatus front_end_create(VadFrontEnd **front_end) {
  auto *made = static_cast<VadFrontEnd *>(heap_calloc(1, sizeof(VadFrontEnd)));
  auto *history = static_cast<VadHistory *>(heap_calloc(1, sizeof(VadHistory)));
  if (!made || !history) {
    heap_free(made);
    heap_free(history);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  made->hop = kVadHop;
  history->hop = kVadHop;
  made->history = history;
  *front_end = made;
  return QX_STATUS_SUCCESS;
}

void front_end_delete(VadFrontEnd *front_end) {
  if (!front_end) return;
  heap_free(front_end->history);
  heap_free(front_end);
}

// A device that cannot show a tensor to the host fails the chunk as a device
// failure, reported like the chunk's other failures by its status text.
QxStatus map_failed() {
  QX_ERROR(errors::kDeviceFailure);
  QX_TRACE(qx_status_to_string(QX_STATUS_RUNTIME_ERROR));
  return QX_STATUS_RUNTIME_ERROR;
}

}  // namespace

QxStatus voice_detector_create(DeviceContext *context, VoiceDetector **detector) {
  if (!context) {
    QX_ERROR(errors::kNoDeviceContext);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (!detector) {
    QX_ERROR(errors::kArgumentNull, "object");
    release_device_context(context);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  auto *made = static_cast<VoiceDetector *>(heap_calloc(1, sizeof(VoiceDetector)));
  if (!made) {
    QX_ERROR(errors::kHeapExhausted);
    release_device_context(context);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  made->context = context;
  made->tensor_count = kVadTensorCount;

  QxStatus status = QX_STATUS_SUCCESS;
  made->tensors = static_cast<TensorBuffer **>(
      host_alloc(context, static_cast<int32_t>(kVadTensorCount * sizeof(TensorBuffer *))));
  if (!made->tensors) {
    QX_ERROR(errors::kHostMemory);
    QX_TRACE(qx_status_to_string(QX_STATUS_OUT_OF_MEMORY));
    voice_detector_delete(made);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  std::memset(made->tensors, 0, kVadTensorCount * sizeof(TensorBuffer *));
  for (int32_t i = 0; i < kVadTensorCount; ++i) {
    made->tensors[i] = tensor_from_static(context, &QX_VAD_PARAMETERS[i]);
    if (!made->tensors[i]) {
      QX_ERROR(errors::kDeviceMemory);
      QX_TRACE(qx_status_to_string(QX_STATUS_OUT_OF_MEMORY));
      voice_detector_delete(made);
      return QX_STATUS_OUT_OF_MEMORY;
    }
  }
  if (front_end_create(&made->front_end) != QX_STATUS_SUCCESS) {
    QX_ERROR(errors::kDeviceFailure);
    voice_detector_delete(made);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  status = run_program(context, made->tensors, kVadTensorCount, QX_VAD_PROGRAM, kVadResetBegin,
                       kVadResetEnd);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE(qx_status_to_string(status));
    voice_detector_delete(made);
    return status;
  }
  *detector = made;
  return QX_STATUS_SUCCESS;
}

QxStatus voice_detector_probability(VoiceDetector *detector, const int16_t *pcm,
                                    float *is_voiced) {
  error_stack_reset();
  if (null_argument(detector, "object") ||
      null_argument(pcm, "pcm") ||
      null_argument(is_voiced, "is_voiced")) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  DeviceContext *context = detector->context;
  TensorBuffer *features = detector->tensors[kVadFeatures];
  auto *rows = static_cast<int16_t *>(map(context, features, kMapWrite));
  if (!rows) return map_failed();  // nothing mapped, nothing to unmap
  QxStatus status = vad_front_end(detector->front_end, pcm, rows);
  if (status == QX_STATUS_SUCCESS) {
    status = vad_front_end(detector->front_end, pcm + kVadHop, rows + kVadBands);
  }
  unmap(context, features, 1);
  if (status == QX_STATUS_SUCCESS) {
    status = run_program(context, detector->tensors, detector->tensor_count, QX_VAD_PROGRAM,
                         kVadStepBegin, kVadStepEnd);
  }
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE(qx_status_to_string(status));
    return status;
  }
  TensorBuffer *probabilities = detector->tensors[kVadProbabilities];
  const auto *q31 = static_cast<const int32_t *>(map(context, probabilities, kMapRead));
  if (!q31) return map_failed();
  const int32_t voice_q31 = q31[1];
  unmap(context, probabilities, 0);
  *is_voiced = static_cast<float>(voice_q31) * 4.656613e-10f;  // 2^-31
  return QX_STATUS_SUCCESS;
}

void voice_detector_delete(VoiceDetector *detector) {
  if (!detector) return;
  DeviceContext *context = detector->context;
  front_end_delete(detector->front_end);
  if (detector->tensors) {
    // Static records used in place are left alone by tensor_free.
    for (int32_t i = kVadTensorCount - 1; i >= 0; --i) tensor_free(context, detector->tensors[i]);
    host_free(context, detector->tensors);
  }
  release_device_context(context);
  heap_free(detector);
}

}  // namespace qx
