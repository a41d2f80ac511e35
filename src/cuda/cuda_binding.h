// Device type 1: the CUDA GPU through the GPU library qx_ypu_impl_cuda_orb.
#pragma once

#include "qx_orb.h"
#include "runtime/operation_table.h"

namespace qx {

// Fills every slot of column kDeviceCuda. The slots reach the library only
// once a backend exists (or, for the listing, when it can be loaded).
void register_cuda_column(OperationTable &table);

// The library's create_backend for device `device_index`. When the library
// is missing, pushes a message naming the file and the loader's reason and
// returns QX_STATUS_RUNTIME_ERROR; when the index names no device, pushes
// one saying how many there are; otherwise returns the library's status.
QxStatus cuda_create_backend(int32_t device_index, void **backend);
// The library's destroy_backend (the library is loaded when a backend exists).
void cuda_destroy_backend(void *backend);

}  // namespace qx
