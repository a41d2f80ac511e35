// The three parameter blocks of a model file and the recurrent layer record.
//
// Every count is checked before it sizes an allocation or a read: a negative
// count or a byte size beyond a signed 32-bit int is a malformed file (105);
// a size larger than what is left of the file is a short read, reported as the
// read of that field would report it, without allocating first. What is left
// to reject once the whole file has been read is model_defect's business.
#include <cstring>
#include <initializer_list>

#include "base/error_catalogue.h"
#include "engine/model_format.h"
#include "engine/model_reader_internal.h"
#include "base/allocator.h"
#include "runtime/device_context.h"

namespace qx {
namespace {

QxStatus malformed() {
  QX_ERROR(errors::kModelFormat, model_format::kFileKind);
  return QX_STATUS_INVALID_ARGUMENT;
}

// A counted field that could not be read whole.
QxStatus field_short() {
  QX_ERROR(errors::kFileRead);
  return QX_STATUS_IO_ERROR;
}

// An array that could not be read whole into its tensor.
QxStatus data_short() {
  QX_TRACE("5143e09");
  return QX_STATUS_IO_ERROR;
}

QxStatus tensor_unavailable() {
  QX_ERROR(errors::kDeviceMemory);
  return QX_STATUS_OUT_OF_MEMORY;
}

QxStatus heap_exhausted() {
  QX_ERROR(errors::kHeapExhausted);
  return QX_STATUS_OUT_OF_MEMORY;
}

// A zeroed record from the context's host memory.
template <typename Record>
Record *host_record(DeviceContext *context, int32_t count = 1) {
  const int32_t bytes = static_cast<int32_t>(sizeof(Record)) * count;
  auto *record = static_cast<Record *>(host_alloc(context, bytes));
  if (record) std::memset(record, 0, static_cast<size_t>(bytes));
  return record;
}

// Reads the four scalars, the two per-band arrays and makes the window.
QxStatus fill_feature_settings(ModelFile *file, FeatureSettings *settings) {
  if (!file_read_i32(file, &settings->window_length) ||
      !file_read_i32(file, &settings->hop_length) ||
      !file_read_i32(file, &settings->num_mel_bands) || !file_read_f32(file, &settings->log_floor)) {
    return field_short();
  }
  // The window length sizes an allocation that no file content backs, so it
  // is held to its only valid value before that allocation.
  if (settings->window_length != model_format::kWindowLength) return malformed();
  const int32_t bands = settings->num_mel_bands;
  int32_t band_bytes;
  if (!byte_size(&band_bytes, bands, sizeof(float))) return malformed();
  if (!file_holds(file, 2 * static_cast<int64_t>(band_bytes))) return field_short();

  settings->feature_mean = static_cast<float *>(heap_calloc(bands, sizeof(float)));
  settings->feature_std = static_cast<float *>(heap_calloc(bands, sizeof(float)));
  settings->analysis_window =
      static_cast<float *>(heap_calloc(settings->window_length, sizeof(float)));
  if (!settings->feature_mean || !settings->feature_std || !settings->analysis_window) {
    return heap_exhausted();
  }
  if (!file_read(file, settings->feature_mean, band_bytes) ||
      !file_read(file, settings->feature_std, band_bytes)) {
    return field_short();
  }
  note_floats(file, settings->feature_mean, bands);
  fill_hann_window(settings->analysis_window, settings->window_length);
  return QX_STATUS_SUCCESS;
}

// A layer's weight and bias tensors, once the file is known to hold both.
QxStatus read_weights_and_bias(DeviceContext *context, ModelFile *file, TensorValues values,
                               int32_t weight_bytes, int32_t bias_bytes, TensorBuffer **weights,
                               TensorBuffer **bias) {
  if (!file_holds(file, static_cast<int64_t>(weight_bytes) + bias_bytes)) return data_short();
  *weights = tensor_alloc(context, weight_bytes, 0);
  if (!*weights) return tensor_unavailable();
  *bias = tensor_alloc(context, bias_bytes, 0);
  if (!*bias) return tensor_unavailable();
  if (!read_tensor(context, file, *weights, weight_bytes, values) ||
      !read_tensor(context, file, *bias, bias_bytes, values)) {
    return data_short();
  }
  return QX_STATUS_SUCCESS;
}

QxStatus fill_output_layer(DeviceContext *context, ModelFile *file, OutputLayer *layer) {
  if (!file_read_i32(file, &layer->num_languages) || !file_read_i32(file, &layer->input_size)) {
    return field_short();
  }
  int32_t weight_bytes, bias_bytes;
  if (!byte_size(&weight_bytes, sizeof(float), layer->num_languages, layer->input_size) ||
      !byte_size(&bias_bytes, sizeof(float), layer->num_languages)) {
    return malformed();
  }
  return read_weights_and_bias(context, file, TensorValues::kFloat32, weight_bytes, bias_bytes,
                               &layer->weights, &layer->bias);
}

// E, P, the projection flag and, for any non-zero flag, the E x P weights.
QxStatus read_projection(DeviceContext *context, ModelFile *file, RecurrentStack *stack) {
  if (!file_read_i32(file, &stack->embedding_size) || !file_read_i32(file, &stack->pooled_size) ||
      !file_read_i32(file, &stack->has_projection)) {
    return field_short();
  }
  if (stack->has_projection == 0) return QX_STATUS_SUCCESS;
  int32_t bytes;
  if (!byte_size(&bytes, sizeof(float), stack->embedding_size, stack->pooled_size)) {
    return malformed();
  }
  if (!file_holds(file, bytes)) return data_short();
  stack->projection_weights = tensor_alloc(context, bytes, 0);
  if (!stack->projection_weights) return tensor_unavailable();
  if (!read_tensor(context, file, stack->projection_weights, bytes, TensorValues::kFloat32)) {
    return data_short();
  }
  return QX_STATUS_SUCCESS;
}

// Largest layer count whose arrays host_alloc can be asked for.
constexpr int64_t kMaxLayerCount = INT32_MAX / static_cast<int64_t>(sizeof(RecurrentLayer));

QxStatus fill_recurrent_stack(DeviceContext *context, ModelFile *file, RecurrentStack *stack) {
  if (!file_read_i32(file, &stack->num_layers) || !file_read_f32(file, &stack->norm_epsilon)) {
    return field_short();
  }
  const int32_t count = stack->num_layers;
  if (count < 0 || count > kMaxLayerCount) return malformed();

  // A file too short for 2L layer headers fails inside some record; the
  // records are then read one at a time into a scratch record, so that the
  // failure is the one of the record the file cuts, without arrays sized by
  // a count the file cannot back.
  const int64_t records = 2 * static_cast<int64_t>(count);
  const bool with_arrays = file_holds(file, records * model_format::kLayerHeaderBytes);
  if (with_arrays) {
    stack->forward_layers = host_record<RecurrentLayer>(context, count);
    if (!stack->forward_layers) return heap_exhausted();
    stack->backward_layers = host_record<RecurrentLayer>(context, count);
    if (!stack->backward_layers) return heap_exhausted();
  }
  for (int64_t i = 0; i < records; ++i) {
    RecurrentLayer scratch{};
    RecurrentLayer *layer = &scratch;
    if (with_arrays) {
      layer = i < count ? &stack->forward_layers[i] : &stack->backward_layers[i - count];
    }
    const QxStatus status = read_recurrent_layer(context, file, layer);
    if (!with_arrays) release_recurrent_layer(context, &scratch);
    if (status != QX_STATUS_SUCCESS) {
      QX_TRACE("8c960ef");
      return status;
    }
  }
  // Unreachable: reads stop at the measured length. Kept so that the stack
  // never leaves here without its arrays.
  if (!with_arrays) return field_short();

  const QxStatus status = read_projection(context, file, stack);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("8cc8d77");
    return status;
  }
  return QX_STATUS_SUCCESS;
}

// A block in a host record: filled from the file, or released on failure.
template <typename Record>
QxStatus read_host_block(DeviceContext *context, ModelFile *file, Record **block,
                         QxStatus (*fill)(DeviceContext *, ModelFile *, Record *),
                         void (*release)(DeviceContext *, Record *)) {
  Record *record = host_record<Record>(context);
  if (!record) return heap_exhausted();
  const QxStatus status = fill(context, file, record);
  if (status != QX_STATUS_SUCCESS) {
    release(context, record);
    return status;
  }
  *block = record;
  return QX_STATUS_SUCCESS;
}

}  // namespace

QxStatus read_feature_settings(DeviceContext *, ModelFile *file, FeatureSettings **block) {
  auto *settings = static_cast<FeatureSettings *>(heap_calloc(1, sizeof(FeatureSettings)));
  if (!settings) return heap_exhausted();
  const QxStatus status = fill_feature_settings(file, settings);
  if (status != QX_STATUS_SUCCESS) {
    release_feature_settings(settings);
    return status;
  }
  *block = settings;
  return QX_STATUS_SUCCESS;
}

QxStatus read_output_layer(DeviceContext *context, ModelFile *file, OutputLayer **block) {
  return read_host_block(context, file, block, fill_output_layer, release_output_layer);
}

QxStatus read_recurrent_layer(DeviceContext *context, ModelFile *file, RecurrentLayer *layer) {
  if (!file_read_i32(file, &layer->hidden_size) || !file_read_i32(file, &layer->input_size)) {
    return field_short();
  }
  const int64_t hidden = layer->hidden_size;
  const int64_t input = layer->input_size;
  int32_t weight_bytes, bias_bytes;
  if (input < 0 || !byte_size(&weight_bytes, 3, hidden, hidden + input) ||
      !byte_size(&bias_bytes, 3, hidden)) {
    return malformed();
  }
  return read_weights_and_bias(context, file, TensorValues::kInt8, weight_bytes, bias_bytes,
                               &layer->weights, &layer->bias);
}

QxStatus read_recurrent_stack(DeviceContext *context, ModelFile *file, RecurrentStack **block) {
  return read_host_block(context, file, block, fill_recurrent_stack, release_recurrent_stack);
}

// ---- Releasing ---------------------------------------------------------------

LogMelSettings log_mel_settings(const FeatureSettings &features) {
  return {features.hop_length,   features.num_mel_bands, features.log_floor,
          features.feature_mean, features.feature_std,   features.analysis_window};
}

void release_feature_settings(FeatureSettings *settings) {
  if (!settings) return;
  heap_free(settings->analysis_window);
  heap_free(settings->feature_std);
  heap_free(settings->feature_mean);
  heap_free(settings);
}

void release_output_layer(DeviceContext *context, OutputLayer *layer) {
  if (!layer) return;
  if (layer->bias) tensor_free(context, layer->bias);
  if (layer->weights) tensor_free(context, layer->weights);
  host_free(context, layer);
}

void release_recurrent_layer(DeviceContext *context, RecurrentLayer *layer) {
  if (layer->bias) tensor_free(context, layer->bias);
  if (layer->weights) tensor_free(context, layer->weights);
  layer->bias = nullptr;
  layer->weights = nullptr;
}

void release_recurrent_stack(DeviceContext *context, RecurrentStack *stack) {
  if (!stack) return;
  if (stack->projection_weights) tensor_free(context, stack->projection_weights);
  // Both arrays hold num_layers records whenever they exist.
  for (RecurrentLayer *layers : {stack->backward_layers, stack->forward_layers}) {
    if (!layers) continue;
    for (int32_t i = stack->num_layers - 1; i >= 0; --i) release_recurrent_layer(context, &layers[i]);
  }
  if (stack->backward_layers) host_free(context, stack->backward_layers);
  if (stack->forward_layers) host_free(context, stack->forward_layers);
  host_free(context, stack);
}

}  // namespace qx
