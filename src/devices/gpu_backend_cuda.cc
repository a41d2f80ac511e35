// Linux x86-64 and Windows: "gpu" is the CUDA device of the GPU library.
#include "cuda/cuda_binding.h"
#include "devices/gpu_backend.h"
#include "runtime/operation_table.h"

namespace qx {

const GpuBackend *gpu_backend() {
  static const GpuBackend cuda{kDeviceCuda, cuda_create_backend, cuda_destroy_backend,
                               register_cuda_column};
  return &cuda;
}

}  // namespace qx
