// The Metal GPU device (device type 4): its backend record, its column of
// the operation table and its entries in the device list. Tensors are shared
// storage buffers; GPU work goes into command buffers on one queue, committed
// every fourth encoder, and the host waits only before it touches memory.
#pragma once

#include <cstdint>

#include "qx_orb.h"
#include "runtime/operation_table.h"

namespace qx {

// Opens the system default Metal device (device_index must be 0: the device
// list may show more, but only the default one is opened) with its command
// queue and the embedded shader library. On failure pushes its messages and
// leaves *backend untouched: 3 for another index, 1 without memory, 7 when
// Metal refuses the device, the queue or the library.
QxStatus metal_backend_create(int32_t device_index, void **backend);
// The destroy_backend slot: drops open encoders and command buffers without
// waiting for them, then the Metal objects and the record. Null is ignored.
void metal_backend_destroy(void *backend);

// "gpu:%d - %s" per Metal device, in Metal's order.
QxStatus metal_list_devices(char ***devices, int32_t *count);
void metal_free_device_list(char **devices, int32_t count);

// Fills column kDeviceMetal: every slot, a device kernel for all 15 opcodes
// and op_init / op_release for the 13 compute kernels.
void register_metal_column(OperationTable &table);

// The compute kernel's function name per opcode; null for the two blits.
const char *metal_kernel_name(int32_t opcode);

}  // namespace qx
