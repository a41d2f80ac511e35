// model_read: one sequential pass over a ".qx" file - header, feature
// settings, output layer, recurrent stack - then the shape checks.
#include <cstring>

#include "base/allocator.h"
#include "base/error_catalogue.h"
#include "engine/model_format.h"
#include "engine/model_reader_internal.h"
#include "platform/platform.h"

namespace qx {
namespace {

// Opens the file and measures it once, so that no count read later can ask
// for more memory than the file backs. Only regular files are read: a pipe
// or a device has no length to bound the counts (and may never end).
bool open_model_file(const char *path, ModelFile *file) {
  static const platform::ScratchAllocator kHeap{heap_malloc, heap_free};
  std::FILE *stream = platform::file_open_regular(path, kHeap);
  if (!stream) return false;
  long length = -1;
  if (std::fseek(stream, 0, SEEK_END) == 0) length = std::ftell(stream);
  if (length < 0 || std::fseek(stream, 0, SEEK_SET) != 0) {
    std::fclose(stream);
    return false;
  }
  file->stream = stream;
  file->remaining = length;
  file->nonfinite_float = false;
  return true;
}

QxStatus read_header(ModelFile *file) {
  char magic[model_format::kMagicBytes + 1] = {};
  if (!file_read(file, magic, model_format::kMagicBytes)) {
    QX_ERROR(errors::kFileRead);
    return QX_STATUS_IO_ERROR;
  }
  if (std::strcmp(magic, model_format::kMagic) != 0) {
    QX_ERROR(errors::kModelFormat, model_format::kFileKind);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  char version[model_format::kVersionBytes + 1] = {};
  if (!file_read(file, version, model_format::kVersionBytes)) {
    QX_ERROR(errors::kFileRead);
    return QX_STATUS_IO_ERROR;
  }
  if (std::strcmp(version, model_format::kVersion) != 0) {
    QX_ERROR(errors::kModelVersion, model_format::kFileKind, PrintableText(version).text(),
             model_format::kVersion);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  return QX_STATUS_SUCCESS;
}

QxStatus read_blocks(DeviceContext *context, ModelFile *file, ModelRecords *records) {
  QxStatus status = read_header(file);
  if (status != QX_STATUS_SUCCESS) return status;

  status = read_feature_settings(context, file, &records->feature_settings);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("6a15559");
    return status;
  }
  status = read_output_layer(context, file, &records->output_layer);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("0c9e5e9");
    return status;
  }
  // Checked only once the whole block has been read.
  if (records->output_layer->num_languages != model_format::kNumLanguages) {
    QX_ERROR(errors::kLanguageCount);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  status = read_recurrent_stack(context, file, &records->recurrent_stack);
  if (status != QX_STATUS_SUCCESS) {
    QX_TRACE("e85c650");
    return status;
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace

QxStatus model_read(DeviceContext *context, const char *path, ModelRecords *records,
                    const char **defect) {
  if (defect) *defect = nullptr;
  ModelFile file{};
  if (!open_model_file(path, &file)) {
    QX_ERROR(errors::kFileOpen, PrintableText(path).text());
    return QX_STATUS_IO_ERROR;
  }
  const QxStatus status = read_blocks(context, &file, records);
  std::fclose(file.stream);
  if (status != QX_STATUS_SUCCESS) return status;

  // The feature extractor and the classifier run without checks of their
  // own: a model whose shapes do not fit together stops here.
  const char *broken = model_defect(*records);
  // Weights, biases and statistics that are not numbers would make every
  // score NaN; checked after the shapes, which name the more basic fault.
  if (!broken && file.nonfinite_float) broken = "a float value is not finite";
  if (broken) {
    if (defect) *defect = broken;
    QX_ERROR(errors::kModelFormat, model_format::kFileKind);
    return QX_STATUS_INVALID_ARGUMENT;
  }
  return QX_STATUS_SUCCESS;
}

void model_release(DeviceContext *context, ModelRecords *records) {
  release_feature_settings(records->feature_settings);
  records->feature_settings = nullptr;
  release_output_layer(context, records->output_layer);
  records->output_layer = nullptr;
  release_recurrent_stack(context, records->recurrent_stack);
  records->recurrent_stack = nullptr;
}

}  // namespace qx
