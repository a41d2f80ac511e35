// The context's cache of scratch tensors, so that per-frame tensors are
// reused from frame to frame instead of allocated.
#include <cstdint>

#include "runtime/device_context.h"

namespace qx {

TensorBuffer *acquire_buffer(DeviceContext *context, int32_t size) {
  int best = -1;
  int32_t best_size = INT32_MAX;
  for (int i = 0; i < kBufferCacheEntries; ++i) {
    CacheEntry &entry = context->cache[i];
    if (!entry.buffer) continue;
    const int32_t entry_size = tensor_size(context, entry.buffer);
    if (entry_size == size) {
      // Exact fits are taken first so larger buffers stay for larger requests.
      TensorBuffer *buffer = entry.buffer;
      entry.buffer = nullptr;  // the age stays as it was
      return buffer;
    }
    if (entry_size >= size && entry_size < best_size) {
      best = i;
      best_size = entry_size;
    }
  }
  if (best >= 0) {
    TensorBuffer *buffer = context->cache[best].buffer;
    context->cache[best].buffer = nullptr;
    return buffer;
  }
  return tensor_alloc(context, size, 0);
}

void recycle_buffer(DeviceContext *context, TensorBuffer *buffer) {
  if (!buffer) return;
  for (CacheEntry &entry : context->cache) {
    if (!entry.buffer) continue;
    entry.age += 1;
    if (entry.age > kBufferCacheMaxAge) {
      tensor_free(context, entry.buffer);
      entry.buffer = nullptr;
    }
  }
  // First empty entry from 1 up; otherwise the oldest, the lowest among
  // equals. Entry 0 is the starting candidate whether empty or not, so an
  // emptied entry 0 competes with the age it last had.
  int chosen = 0;
  for (int i = 1; i < kBufferCacheEntries; ++i) {
    const CacheEntry &entry = context->cache[i];
    if (!entry.buffer) {
      chosen = i;
      break;
    }
    if (entry.age > context->cache[chosen].age) chosen = i;
  }
  CacheEntry &destination = context->cache[chosen];
  if (destination.buffer) tensor_free(context, destination.buffer);
  destination.buffer = buffer;
  destination.age = 0;
}

}  // namespace qx
