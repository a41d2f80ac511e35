// macOS, and builds over the emulated Metal layer: "gpu" is the Metal device.
#include "devices/gpu_backend.h"
#include "metal/metal_backend.h"
#include "runtime/operation_table.h"

namespace qx {

const GpuBackend *gpu_backend() {
  static const GpuBackend metal{kDeviceMetal, metal_backend_create, metal_backend_destroy,
                                register_metal_column};
  return &metal;
}

}  // namespace qx
