// The operation table: every device-dependent function, one column per device
// type. Portable code (reference operators, interpreter, classifier, engine)
// is written once against it.
#pragma once

#include <cstdint>

#include "qx_orb.h"
#include "runtime/opcodes.h"

namespace qx {

enum DeviceType : uint32_t {
  kDeviceCpu = 0,
  kDeviceCuda = 1,        // external GPU implementation library
  kDeviceHostShared = 3,  // no backend; static tensors are used in place, as on the CPU
  kDeviceMetal = 4,
};
constexpr int kDeviceTypeCount = 5;  // types 2 and 3 have no backend

// The CPU's tensor record; the built-in static tables use the same layout.
// Other devices hand out their own handles behind this type.
struct TensorBuffer {
  int32_t size;   // bytes of data
  int32_t flags;  // bit 0: static (data not owned, tensor_free leaves it alone)
  void *data;     // 32-byte aligned when the CPU backend allocated it
};
constexpr int32_t kTensorStatic = 1;

// map modes: the caller only writes / the caller reads the contents.
constexpr int32_t kMapWrite = 0;
constexpr int32_t kMapRead = 1;

struct DeviceContext;

using DestroyBackendFn = void (*)(void *backend);
using HostAllocFn = void *(*)(void *backend, int32_t size);
using HostFreeFn = void (*)(void *backend, void *pointer);
using TensorAllocFn = TensorBuffer *(*)(void *backend, int32_t size, int32_t flags);
using TensorFreeFn = void (*)(void *backend, TensorBuffer *tensor);
using UploadFn = QxStatus (*)(void *backend, TensorBuffer *tensor, const void *source,
                              int32_t offset, int32_t length);
using DownloadFn = QxStatus (*)(void *backend, TensorBuffer *tensor, void *destination,
                                int32_t offset, int32_t length);
using MapFn = void *(*)(void *backend, TensorBuffer *tensor, int32_t mode);
using UnmapFn = void (*)(void *backend, TensorBuffer *tensor, int32_t written);
using TensorSizeFn = int32_t (*)(void *backend, TensorBuffer *tensor);
using ListDevicesFn = QxStatus (*)(char ***devices, int32_t *count);
using FreeDeviceListFn = void (*)(char **devices, int32_t count);
// A device kernel; status 3 means "did not do the work" (the reference runs).
using DeviceOpFn = QxStatus (*)(void *backend, void *op_handle, const OperandBlock *operands);
using OpInitFn = QxStatus (*)(void *backend, void **op_handle);
using OpReleaseFn = void (*)(void *backend, void *op_handle);
using ReferenceOpFn = QxStatus (*)(DeviceContext *context, const OperandBlock *operands);

// Each slot is indexed by device type; a null entry means the device lacks it.
struct OperationTable {
  DestroyBackendFn destroy_backend[kDeviceTypeCount];  // null: nothing to destroy
  HostAllocFn host_alloc[kDeviceTypeCount];
  HostFreeFn host_free[kDeviceTypeCount];
  TensorAllocFn tensor_alloc[kDeviceTypeCount];
  TensorFreeFn tensor_free[kDeviceTypeCount];
  UploadFn upload[kDeviceTypeCount];
  DownloadFn download[kDeviceTypeCount];
  MapFn map[kDeviceTypeCount];
  UnmapFn unmap[kDeviceTypeCount];
  TensorSizeFn tensor_size[kDeviceTypeCount];
  ListDevicesFn list_devices[kDeviceTypeCount];          // null: type not listed
  FreeDeviceListFn free_device_list[kDeviceTypeCount];
  DeviceOpFn device_op[kOpcodeCount][kDeviceTypeCount];  // null: reference runs
  OpInitFn op_init[kOpcodeCount][kDeviceTypeCount];      // null: handle stays null
  OpReleaseFn op_release[kOpcodeCount][kDeviceTypeCount];
  // Not per device: the portable reference operator per opcode (15: none).
  ReferenceOpFn reference_op[kOpcodeTableSize];
};

// The process-wide table, filled once on first use. Tests may add kernels.
// Defined by the devices layer, the one that knows which backends exist.
OperationTable &operation_table();

// Fillers called once, in this order, when the table is built. Each device
// and the reference operators fill their own entries.
void register_cpu_column(OperationTable &table);
void register_reference_operators(OperationTable &table);

}  // namespace qx
