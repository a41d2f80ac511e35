// Builds without a GPU backend: "gpu" is not a device string there.
#include "devices/gpu_backend.h"

namespace qx {

const GpuBackend *gpu_backend() { return nullptr; }

}  // namespace qx
