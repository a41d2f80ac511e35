// The GPU device type of this build, if it has one: the CUDA library on
// Windows and Linux x86-64, Metal on macOS (and over the emulated Metal
// layer), none on ARM32. Device selection and the operation table reach
// the GPU only through this, so they need no per-platform code.
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

struct OperationTable;

struct GpuBackend {
  uint32_t device_type;  // the column of the operation table
  // A backend handle for GPU number `device_index`; non-zero status on failure.
  QxStatus (*create_backend)(int32_t device_index, void **backend);
  void (*destroy_backend)(void *backend);
  // Fills the device type's column of the operation table.
  void (*register_column)(OperationTable &table);
};

// Null where "gpu" names no device (the string is then not a valid one).
const GpuBackend *gpu_backend();

}  // namespace qx
