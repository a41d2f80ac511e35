// Windows: "gpu" is the CUDA device of the external GPU library.
#include "cuda/cuda_backend.h"
#include "devices/gpu_backend.h"
#include "runtime/operation_table.h"

namespace qx {
namespace {

void register_cuda_column(OperationTable &table) {
  table.destroy_backend[kDeviceCuda] = cuda_destroy_backend;
}

}  // namespace

const GpuBackend *gpu_backend() {
  static const GpuBackend cuda{kDeviceCuda, cuda_create_backend, cuda_destroy_backend,
                               register_cuda_column};
  return &cuda;
}

}  // namespace qx
