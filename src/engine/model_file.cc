// Bounded reads from the model file and the small computations the block
// readers share.
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "engine/model_reader_internal.h"
#include "runtime/device_context.h"

namespace qx {

// Tensors are filled with the file's bytes as they are, so the host must
// store int8 and float32 the way the file does.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "model weights are little-endian");
#endif

bool file_holds(const ModelFile *file, int64_t bytes) {
  return bytes >= 0 && bytes <= file->remaining;
}

bool file_read(ModelFile *file, void *destination, int64_t bytes) {
  if (!file_holds(file, bytes)) return false;
  const size_t wanted = static_cast<size_t>(bytes);
  const size_t got = wanted == 0 ? 0 : std::fread(destination, 1, wanted, file->stream);
  file->remaining -= static_cast<int64_t>(got);
  return got == wanted;
}

bool file_read_i32(ModelFile *file, int32_t *value) {
  unsigned char bytes[4];
  if (!file_read(file, bytes, 4)) return false;
  const uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                        static_cast<uint32_t>(bytes[2]) << 16 |
                        static_cast<uint32_t>(bytes[3]) << 24;
  std::memcpy(value, &bits, sizeof(bits));
  return true;
}

bool file_read_f32(ModelFile *file, float *value) {
  int32_t bits;
  if (!file_read_i32(file, &bits)) return false;
  std::memcpy(value, &bits, sizeof(bits));
  note_floats(file, value, 1);
  return true;
}

void note_floats(ModelFile *file, const float *values, int64_t count) {
  for (int64_t i = 0; i < count && !file->nonfinite_float; ++i) {
    if (!std::isfinite(values[i])) file->nonfinite_float = true;
  }
}

bool byte_size(int32_t *bytes, int64_t factor_1, int64_t factor_2, int64_t factor_3) {
  int64_t product = 1;
  for (const int64_t factor : {factor_1, factor_2, factor_3}) {
    if (factor < 0) return false;
    // product <= INT32_MAX here, so the division test is exact and the
    // multiplication below cannot overflow 64 bits.
    if (factor != 0 && product > INT32_MAX / factor) return false;
    product *= factor;
  }
  *bytes = static_cast<int32_t>(product);
  return true;
}

bool read_tensor(DeviceContext *context, ModelFile *file, TensorBuffer *tensor, int32_t bytes,
                 TensorValues values) {
  void *view = map(context, tensor, kMapWrite);
  if (!view) return false;  // nothing mapped, nothing to unmap
  const bool complete = file_read(file, view, bytes);
  if (complete && values == TensorValues::kFloat32) {
    note_floats(file, static_cast<const float *>(view), bytes / static_cast<int32_t>(sizeof(float)));
  }
  unmap(context, tensor, 1);
  return complete;
}

void fill_hann_window(float *window, int32_t length) {
  constexpr double kTwoPi = 6.283185307179586;
  const double span = static_cast<double>(length) - 1.0;
  for (int32_t i = 0; i < length; ++i) {
    window[i] = static_cast<float>(0.5 * (1.0 - std::cos(kTwoPi * i / span)));
  }
}

}  // namespace qx
