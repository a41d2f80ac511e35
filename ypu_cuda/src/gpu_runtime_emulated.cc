// The host emulation of the device: one device whose memory is a separate
// host allocation, copies are memcpy and kernels run as ordinary C++ (see
// launch.h). It keeps the library's staging discipline honest on machines
// without a GPU: a host pointer never aliases device memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aligned_memory.h"
#include "gpu_runtime.h"

namespace ypu {

int32_t device_count() { return 1; }

bool device_name(int32_t index, char *name, size_t size) {
  if (index != 0 || size == 0) return false;
  std::snprintf(name, size, "%s", "Emulated CUDA device (host memory)");
  return true;
}

bool use_device(int32_t index) { return index == 0; }

void *device_alloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }
void device_free(void *device) { std::free(device); }

void *staging_alloc(size_t bytes) { return aligned_alloc_bytes(64, bytes); }
void staging_free(void *host) { aligned_free(host); }

bool copy_to_device(void *device, const void *host, size_t bytes) {
  if (bytes) std::memcpy(device, host, bytes);
  return true;
}
bool copy_to_host(void *host, const void *device, size_t bytes) {
  if (bytes) std::memcpy(host, device, bytes);
  return true;
}
bool copy_on_device(void *to, const void *from, size_t bytes) {
  if (bytes) std::memcpy(to, from, bytes);
  return true;
}
bool zero_on_device(void *device, size_t bytes) {
  if (bytes) std::memset(device, 0, bytes);
  return true;
}

bool launch_succeeded() { return true; }

}  // namespace ypu
