// The kernels compiled by nvcc for the CUDA build.
#include <cuda_runtime.h>

#include "kernels.inc"

namespace ypu {

// The fixed-point activations read constant-memory copies of the tables
// (runtime/fixed_point_tables.h); fill them from the host arrays.
bool prepare_kernels() {
  return cudaMemcpyToSymbol(qx::QX_SIGMOID_TABLE_ON_DEVICE, qx::QX_SIGMOID_TABLE,
                            sizeof(qx::QX_SIGMOID_TABLE)) == cudaSuccess &&
         cudaMemcpyToSymbol(qx::QX_EXP_LSB_TABLE_ON_DEVICE, qx::QX_EXP_LSB_TABLE,
                            sizeof(qx::QX_EXP_LSB_TABLE)) == cudaSuccess &&
         cudaMemcpyToSymbol(qx::QX_EXP_MSB_TABLE_ON_DEVICE, qx::QX_EXP_MSB_TABLE,
                            sizeof(qx::QX_EXP_MSB_TABLE)) == cudaSuccess;
}

}  // namespace ypu
