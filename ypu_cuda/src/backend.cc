// Device handles, host records and tensors with their staging discipline:
// a read map downloads only a stale host copy, a write-only map never
// downloads, and the host copy goes back up once, when the last map of a
// tensor that was written ends.
#include "backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "aligned_memory.h"
#include "gpu_runtime.h"
#include "kernels.h"
#include "qx_ypu_impl_cuda_orb.h"

using ypu::Backend;
using ypu::Tensor;

namespace {

Backend *as_backend(void *handle) { return static_cast<Backend *>(handle); }

// A byte range [offset, offset + length) inside the tensor.
bool range_fits(const Tensor *tensor, int32_t offset, int32_t length) {
  return offset >= 0 && length >= 0 &&
         static_cast<int64_t>(offset) + length <= static_cast<int64_t>(tensor->size);
}

}  // namespace

extern "C" {

QX_YPU_API int32_t taabe5(int32_t device_index, void **backend) {
  if (!backend) return ypu::kNotDone;
  if (device_index < 0 || device_index >= ypu::device_count()) return ypu::kNotDone;
  if (!ypu::use_device(device_index) || !ypu::prepare_kernels()) return ypu::kDeviceFailed;
  void *memory = std::malloc(sizeof(Backend));
  if (!memory) return 1;  // out of memory
  Backend *made = new (memory) Backend();
  made->device_index = device_index;
  *backend = made;
  return ypu::kSuccess;
}

QX_YPU_API void taabe248(void *backend) {
  if (!backend) return;
  as_backend(backend)->~Backend();
  std::free(backend);
}

QX_YPU_API void *taabe197(void *, int32_t size) {
  if (size < 0) return nullptr;
  return ypu::aligned_alloc_bytes(32, static_cast<size_t>(size));
}

QX_YPU_API void taabe258(void *, void *pointer) { ypu::aligned_free(pointer); }

QX_YPU_API void *taabe200(void *backend, int32_t size, int32_t flags) {
  Backend *owner = as_backend(backend);
  if (!owner || size < 0 || !ypu::use_device(owner->device_index)) return nullptr;
  void *memory = std::malloc(sizeof(Tensor));
  if (!memory) return nullptr;
  Tensor *tensor = new (memory) Tensor();
  tensor->size = size;
  tensor->flags = flags;
  // The staging copy is made now so that map never fails: the reference
  // operators use map results unchecked.
  tensor->device = static_cast<unsigned char *>(ypu::device_alloc(static_cast<size_t>(size)));
  tensor->host = static_cast<unsigned char *>(ypu::staging_alloc(static_cast<size_t>(size)));
  if (!tensor->device || !tensor->host ||
      !ypu::zero_on_device(tensor->device, static_cast<size_t>(size))) {
    ypu::device_free(tensor->device);
    ypu::staging_free(tensor->host);
    std::free(memory);
    return nullptr;
  }
  std::memset(tensor->host, 0, static_cast<size_t>(size));
  return tensor;
}

QX_YPU_API void taabe261(void *backend, void *handle) {
  Tensor *tensor = ypu::as_tensor(handle);
  if (!tensor) return;
  if (backend) ypu::use_device(as_backend(backend)->device_index);
  ypu::device_free(tensor->device);
  ypu::staging_free(tensor->host);
  tensor->~Tensor();
  std::free(tensor);
}

QX_YPU_API int32_t taabe212(void *backend, void *handle, const void *source, int32_t offset,
                            int32_t length) {
  Backend *owner = as_backend(backend);
  Tensor *tensor = ypu::as_tensor(handle);
  if (!owner || !tensor || (!source && length > 0) || !range_fits(tensor, offset, length)) {
    return ypu::kNotDone;
  }
  if (length == 0) return ypu::kSuccess;
  if (!ypu::use_device(owner->device_index) ||
      !ypu::copy_to_device(tensor->device + offset, source, static_cast<size_t>(length))) {
    owner->failed = true;
    return ypu::kDeviceFailed;
  }
  ++owner->counts.uploads;
  // A current host copy stays current by taking the same bytes.
  if (tensor->host_current) std::memcpy(tensor->host + offset, source, static_cast<size_t>(length));
  return ypu::kSuccess;
}

QX_YPU_API int32_t taabe193(void *backend, void *handle, void *destination, int32_t offset,
                            int32_t length) {
  Backend *owner = as_backend(backend);
  Tensor *tensor = ypu::as_tensor(handle);
  if (!owner || !tensor || (!destination && length > 0) || !range_fits(tensor, offset, length)) {
    return ypu::kNotDone;
  }
  if (length == 0) return ypu::kSuccess;
  if (tensor->host_current) {  // nothing on the device is newer
    std::memcpy(destination, tensor->host + offset, static_cast<size_t>(length));
    return ypu::kSuccess;
  }
  if (!ypu::use_device(owner->device_index) ||
      !ypu::copy_to_host(destination, tensor->device + offset, static_cast<size_t>(length))) {
    owner->failed = true;
    return ypu::kDeviceFailed;
  }
  ++owner->counts.downloads;
  return ypu::kSuccess;
}

QX_YPU_API void *taabe230(void *backend, void *handle, int32_t mode) {
  Backend *owner = as_backend(backend);
  Tensor *tensor = ypu::as_tensor(handle);
  if (!owner || !tensor) return nullptr;
  if (mode != 0 && !tensor->host_current) {
    if (ypu::use_device(owner->device_index) &&
        ypu::copy_to_host(tensor->host, tensor->device, static_cast<size_t>(tensor->size))) {
      ++owner->counts.downloads;
      tensor->host_current = true;
    } else {
      owner->failed = true;  // the caller still gets memory; later operators fail
    }
  }
  ++tensor->map_depth;
  return tensor->host;
}

QX_YPU_API void taabe243(void *backend, void *handle, int32_t written) {
  Backend *owner = as_backend(backend);
  Tensor *tensor = ypu::as_tensor(handle);
  if (!owner || !tensor || tensor->map_depth == 0) return;
  if (written) tensor->write_back = true;
  if (--tensor->map_depth > 0 || !tensor->write_back) return;
  tensor->write_back = false;
  if (ypu::use_device(owner->device_index) &&
      ypu::copy_to_device(tensor->device, tensor->host, static_cast<size_t>(tensor->size))) {
    ++owner->counts.uploads;
    tensor->host_current = true;
  } else {
    owner->failed = true;
  }
}

QX_YPU_API int32_t taabe34(void *, void *handle) {
  const Tensor *tensor = ypu::as_tensor(handle);
  return tensor ? tensor->size : 0;
}

QX_YPU_API int32_t taabe3(char ***devices, int32_t *count) {
  if (!devices || !count) return ypu::kNotDone;
  *devices = nullptr;
  *count = 0;
  const int32_t present = ypu::device_count();
  if (present <= 0) return ypu::kSuccess;
  auto **list = static_cast<char **>(std::calloc(static_cast<size_t>(present), sizeof(char *)));
  if (!list) return 1;
  for (int32_t index = 0; index < present; ++index) {
    char name[256];
    if (!ypu::device_name(index, name, sizeof(name)))
      std::snprintf(name, sizeof(name), "CUDA device");
    const int length = std::snprintf(nullptr, 0, "gpu:%d - %s", index, name);
    list[index] = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!list[index]) {
      taabe229(list, index);
      return 1;
    }
    std::snprintf(list[index], static_cast<size_t>(length) + 1, "gpu:%d - %s", index, name);
  }
  *devices = list;
  *count = present;
  return ypu::kSuccess;
}

QX_YPU_API void taabe229(char **devices, int32_t count) {
  if (!devices) return;
  for (int32_t i = 0; i < count; ++i) std::free(devices[i]);
  std::free(devices);
}

}  // extern "C"
