// The device services on the CUDA runtime. Copies use the legacy default
// stream, so they wait for the kernels launched before them.
#include <cuda_runtime_api.h>

#include <cstdio>

#include "gpu_runtime.h"

namespace ypu {

int32_t device_count() {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) {
    cudaGetLastError();  // no driver or no device: not sticky, clear it
    return 0;
  }
  return count;
}

bool device_name(int32_t index, char *name, size_t size) {
  cudaDeviceProp properties;
  if (size == 0 || cudaGetDeviceProperties(&properties, index) != cudaSuccess) return false;
  std::snprintf(name, size, "%s", properties.name);
  return true;
}

bool use_device(int32_t index) { return cudaSetDevice(index) == cudaSuccess; }

void *device_alloc(size_t bytes) {
  void *device = nullptr;
  return cudaMalloc(&device, bytes ? bytes : 1) == cudaSuccess ? device : nullptr;
}
void device_free(void *device) {
  if (device) cudaFree(device);
}

void *staging_alloc(size_t bytes) {
  void *host = nullptr;
  return cudaMallocHost(&host, bytes ? bytes : 1) == cudaSuccess ? host : nullptr;
}
void staging_free(void *host) {
  if (host) cudaFreeHost(host);
}

bool copy_to_device(void *device, const void *host, size_t bytes) {
  return bytes == 0 || cudaMemcpy(device, host, bytes, cudaMemcpyHostToDevice) == cudaSuccess;
}
bool copy_to_host(void *host, const void *device, size_t bytes) {
  return bytes == 0 || cudaMemcpy(host, device, bytes, cudaMemcpyDeviceToHost) == cudaSuccess;
}
bool copy_on_device(void *to, const void *from, size_t bytes) {
  return bytes == 0 || cudaMemcpy(to, from, bytes, cudaMemcpyDeviceToDevice) == cudaSuccess;
}
bool zero_on_device(void *device, size_t bytes) {
  return bytes == 0 || cudaMemset(device, 0, bytes) == cudaSuccess;
}

bool launch_succeeded() { return cudaGetLastError() == cudaSuccess; }

}  // namespace ypu
