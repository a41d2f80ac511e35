#include "cuda/cuda_backend.h"

namespace qx {

QxStatus cuda_create_backend(int32_t, void **) {
  // No library to ask yet: there is no CUDA device to open.
  return QX_STATUS_RUNTIME_ERROR;
}

void cuda_destroy_backend(void *) {}

}  // namespace qx
