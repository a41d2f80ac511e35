// The CUDA GPU device (device type 1) of the Windows build, reached through
// the external GPU implementation library. Until the binding to that
// library exists, no CUDA device can be created, so "gpu" fails there as a
// GPU whose backend cannot be made.
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

// The create_backend step of a GPU device: a backend handle for GPU number
// `device_index` in *backend. Fails with RUNTIME_ERROR for now.
QxStatus cuda_create_backend(int32_t device_index, void **backend);
// The destroy_backend slot of device type 1. Null is ignored.
void cuda_destroy_backend(void *backend);

}  // namespace qx
