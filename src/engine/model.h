// The records read from a ".qx" model file: feature settings for the log-mel
// extractor, and the recurrent stack and output layer of the classifier.
#pragma once

#include <cstdint>

#include "frontend/log_mel.h"
#include "qx_orb.h"

namespace qx {

struct QxOrbEngine;

// Heap record (heap_calloc); its arrays come from the heap too.
struct FeatureSettings {
  int32_t window_length;    // samples per analysis window (512)
  int32_t hop_length;       // samples between windows, 1 to 32768
  int32_t num_mel_bands;    // B, 1 to 40
  float log_floor;          // added to each band energy before log10
  float *feature_mean;      // B values subtracted from the log energy
  float *feature_std;       // B divisors applied after the subtraction
  float *analysis_window;   // window_length values, symmetric Hann, made at load
};

// Allocated through the context's host_alloc.
struct OutputLayer {
  int32_t num_languages;  // N, 9
  int32_t input_size;     // K
  TensorBuffer *weights;  // float32 [N][K]
  TensorBuffer *bias;     // float32 [N]
};

struct RecurrentLayer {
  int32_t hidden_size;    // H
  int32_t input_size;     // I
  TensorBuffer *weights;  // int8 Q7 [3H][H + I]: gate blocks z, u, o; [h, x] columns
  TensorBuffer *bias;     // int8 Q7 [3H]
};

// Allocated through host_alloc, as are both layer arrays.
struct RecurrentStack {
  int32_t num_layers;  // L bidirectional levels
  float norm_epsilon;  // of the input normalisation
  RecurrentLayer *forward_layers;
  RecurrentLayer *backward_layers;
  int32_t embedding_size;            // E
  int32_t pooled_size;               // P
  int32_t has_projection;            // 0: none; 1: projection_weights follow
  TensorBuffer *projection_weights;  // float32 [E][P], or null
};

// The extractor's view of the feature record.
LogMelSettings log_mel_settings(const FeatureSettings &features);

// The three records a model file yields, attached to the engine as they are
// read; whatever is attached when reading fails stays for the caller to free.
struct ModelRecords {
  FeatureSettings *feature_settings;
  OutputLayer *output_layer;
  RecurrentStack *recurrent_stack;
};

// Reads and validates the model file at `path` (UTF-8) onto the context.
// `records` starts out empty. Each block is attached as soon as it has been
// read; on failure the file is closed, the messages are pushed and whatever
// is attached stays for model_release. Besides the magic, the version and the
// language count, the shapes must satisfy model_defect (otherwise code 105,
// QX_STATUS_INVALID_ARGUMENT), and counts that would make a size negative or
// overflow a signed 32-bit int are rejected the same way before they are used.
// The 105 message cannot say which rule a complete model broke; when
// `defect` is given it receives model_defect's text for that failure and
// null for every other outcome.
QxStatus model_read(DeviceContext *context, const char *path, ModelRecords *records,
                    const char **defect = nullptr);

// The first rule of a well-formed model that complete `records` break, as a
// short text for diagnostics, or null when the feature extractor and the
// classifier can run on them without reading or writing outside a buffer.
const char *model_defect(const ModelRecords &records);

// Releases every record and tensor of `records` (null fields are skipped)
// and clears the fields.
void model_release(DeviceContext *context, ModelRecords *records);

}  // namespace qx
