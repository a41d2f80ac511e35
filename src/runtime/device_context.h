// A device context binds a device type to a backend instance and carries the
// runtime's per-device state: flags, a reference count, one handle per
// operator and a 64-entry cache of scratch tensors.
//
// A context is used by one thread at a time; nothing in it is locked.
#pragma once

#include <cstdint>

#include "runtime/operation_table.h"

namespace qx {

constexpr int kBufferCacheEntries = 64;
constexpr int32_t kBufferCacheMaxAge = 128;  // a buffer older than this is freed
constexpr uint32_t kContextReferenceOnly = 1;  // flags bit 0: never call device kernels

struct CacheEntry {
  TensorBuffer *buffer;  // null = empty
  int32_t age;           // recycles since this entry was filled
};

struct DeviceContext {
  uint32_t device_type;
  void *backend;
  uint32_t flags;
  int32_t refcount;
  void *op_handles[kOpcodeCount];
  CacheEntry cache[kBufferCacheEntries];
};

// Makes a context holding one reference. On failure pushes its message,
// returns the context memory and leaves the backend to its creator.
QxStatus create_device_context(uint32_t device_type, void *backend, DeviceContext **context);
void retain_device_context(DeviceContext *context);
// Drops one reference; the last one destroys the context and its backend.
void release_device_context(DeviceContext *context);
void destroy_device_context(DeviceContext *context);

// Scratch tensors: an exactly sized cached buffer if there is one, else the
// smallest larger one, else a new allocation (null when that fails).
TensorBuffer *acquire_buffer(DeviceContext *context, int32_t size);
// Returns a scratch tensor to the cache (null is ignored).
void recycle_buffer(DeviceContext *context, TensorBuffer *buffer);

// Runs an operator: the device kernel unless the context forbids kernels or
// the device has none; the reference operator when the kernel returns 3.
// Pushes nothing; callers report failures.
QxStatus run_operator(DeviceContext *context, int32_t opcode, const OperandBlock *operands);

// A built-in constant tensor on this device: the record itself on host-memory
// devices, otherwise an uploaded copy. Null (with a message) on failure.
TensorBuffer *tensor_from_static(DeviceContext *context, const TensorBuffer *record);

// The context's device slots, for portable code.
void *host_alloc(DeviceContext *context, int32_t size);
void host_free(DeviceContext *context, void *pointer);
TensorBuffer *tensor_alloc(DeviceContext *context, int32_t size, int32_t flags);
void tensor_free(DeviceContext *context, TensorBuffer *tensor);
QxStatus upload(DeviceContext *context, TensorBuffer *tensor, const void *source, int32_t offset,
                int32_t length);
QxStatus download(DeviceContext *context, TensorBuffer *tensor, void *destination,
                  int32_t offset, int32_t length);
void *map(DeviceContext *context, TensorBuffer *tensor, int32_t mode);
void unmap(DeviceContext *context, TensorBuffer *tensor, int32_t written);
int32_t tensor_size(DeviceContext *context, TensorBuffer *tensor);

}  // namespace qx
