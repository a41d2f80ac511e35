// The device services the library needs, in two builds: the CUDA runtime
// (gpu_runtime_cuda.cc) or the host emulation (gpu_runtime_emulated.cc),
// whose "device" memory is separate host memory. Everything above this
// file is the same code in both builds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ypu {

// Devices present; 0 when there is none or no driver.
int32_t device_count();
// The device's name, NUL-terminated and cut to `size`; false if unknown.
bool device_name(int32_t index, char *name, size_t size);
// Makes `index` the calling thread's device; every entry point that touches
// device memory calls it first.
bool use_device(int32_t index);

// Device memory; null on failure. Freeing null is ignored.
void *device_alloc(size_t bytes);
void device_free(void *device);
// Host memory for staging copies, page-locked where the device has that.
void *staging_alloc(size_t bytes);
void staging_free(void *host);

// Copies and fills; false on a device failure. Kernels launched before a
// copy finish before it reads or writes.
bool copy_to_device(void *device, const void *host, size_t bytes);
bool copy_to_host(void *host, const void *device, size_t bytes);
bool copy_on_device(void *to, const void *from, size_t bytes);
bool zero_on_device(void *device, size_t bytes);

// False when the last kernel launch was refused.
bool launch_succeeded();

}  // namespace ypu
