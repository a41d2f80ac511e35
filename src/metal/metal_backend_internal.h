// The records of the Metal backend, shared by its two source files.
#pragma once

#include <cstdint>

#include "metal/metal_layer.h"
#include "qx_orb.h"
#include "runtime/opcodes.h"

namespace qx {

struct MetalBackend {
  mtl::Device *device;
  mtl::CommandQueue *queue;
  mtl::Library *library;
  mtl::CommandBuffer *committed;       // last committed, not yet waited for
  mtl::CommandBuffer *current;         // open, receives new encoders
  mtl::ComputeEncoder *compute_encoder;  // open only inside one operator
  mtl::BlitEncoder *blit_encoder;        // open only around one copy or fill
  int32_t encoded_count;               // encoders ended into current, 0 ... 3
};

// The tensor handle of this device, behind TensorBuffer pointers.
struct MetalTensor {
  mtl::Buffer *buffer;
  int32_t size;   // bytes asked for
  int32_t flags;  // stored, not interpreted
};

struct MetalKernel {
  char *name;  // private copy, NUL-terminated
  mtl::Function *function;
  mtl::Pipeline *pipeline;
};

// What op_init stores in the context's op_handles.
struct MetalOpHandle {
  MetalKernel *kernel;
};

// Commits the open command buffer (if any) and waits for the last committed
// one; after it no GPU work is outstanding.
void metal_synchronize(MetalBackend *backend);

// Counts an encoder just ended into `current`: every fourth commits it.
void metal_count_encoder(MetalBackend *backend);

// The device_op slot functions, by opcode.
using MetalOpFn = QxStatus (*)(void *backend, void *op_handle, const OperandBlock *operands);
extern const MetalOpFn kMetalOperators[kOpcodeCount];

}  // namespace qx
