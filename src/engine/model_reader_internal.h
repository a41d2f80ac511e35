// Pieces of the model reader shared by its source files: the bounded file
// view, the block readers and the record releases.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/model.h"

namespace qx {

// The open model file, always a regular file measured when it was opened.
// `remaining` is the number of bytes it holds past the current position; a
// read never goes past it, so a count in the file can only ask for as much
// memory as the file itself backs before it fails as a short read.
struct ModelFile {
  std::FILE *stream;
  int64_t remaining;
  bool nonfinite_float;  // some float32 value read was NaN or infinite
};

// What a tensor holds: float32 values are checked for finiteness as read.
enum class TensorValues { kInt8, kFloat32 };

// True when `bytes` more bytes can be read (never for negative counts).
bool file_holds(const ModelFile *file, int64_t bytes);
// Reads exactly `bytes` bytes; false on a short read, nothing beyond the
// measured length being read.
bool file_read(ModelFile *file, void *destination, int64_t bytes);
bool file_read_i32(ModelFile *file, int32_t *value);  // little-endian
bool file_read_f32(ModelFile *file, float *value);    // little-endian IEEE-754, noted

// The byte size factor_1 x factor_2 x factor_3 when every factor is
// non-negative and the product fits a signed 32-bit int (the size type of
// tensors and host allocations); false otherwise.
bool byte_size(int32_t *bytes, int64_t factor_1, int64_t factor_2 = 1, int64_t factor_3 = 1);

// Fills `tensor` (exactly `bytes` long) from the file: one write-only map,
// one read of the whole array, one unmap. False on a short read or a failed
// mapping.
bool read_tensor(DeviceContext *context, ModelFile *file, TensorBuffer *tensor, int32_t bytes,
                 TensorValues values);
// Notes in `file` whether any of `count` float32 values is not finite.
void note_floats(ModelFile *file, const float *values, int64_t count);

// The symmetric Hann window of `length` values: w[i] = 0.5 (1 - cos(2 pi i /
// (length - 1))) in double precision, stored as float32.
void fill_hann_window(float *window, int32_t length);

// Block readers, called in file order. Each pushes the message of the step
// that failed (the caller adds the block's trace tag) and releases what it
// allocated before returning a failure; on success *block owns the record.
QxStatus read_feature_settings(DeviceContext *context, ModelFile *file,
                               FeatureSettings **block);
QxStatus read_output_layer(DeviceContext *context, ModelFile *file, OutputLayer **block);
QxStatus read_recurrent_stack(DeviceContext *context, ModelFile *file, RecurrentStack **block);
// Fills `layer` (zeroed by the caller). Tensors it made stay in the record
// on failure, for the stack reader to release.
QxStatus read_recurrent_layer(DeviceContext *context, ModelFile *file, RecurrentLayer *layer);

// Releases a record and everything it holds; null and partly filled records
// are fine.
void release_feature_settings(FeatureSettings *settings);
void release_output_layer(DeviceContext *context, OutputLayer *layer);
void release_recurrent_layer(DeviceContext *context, RecurrentLayer *layer);
void release_recurrent_stack(DeviceContext *context, RecurrentStack *stack);

}  // namespace qx
