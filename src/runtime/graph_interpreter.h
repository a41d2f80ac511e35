// Runs graph programs: flat arrays of int32 words, each instruction an
// opcode word, one tensor-index word per tensor operand and the operator's
// immediates (counts from kOpcodeDescriptors).
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

struct DeviceContext;
struct TensorBuffer;

// Runs the instructions whose opcode words lie in [start, end) of `program`
// on `context`, in order, each through run_operator. The range must begin at
// an instruction boundary. Returns 0 when the whole range ran; start >= end
// runs nothing and returns 0.
//
// A malformed instruction (words missing before `end`, an opcode word
// outside 0 ... 15, a tensor index outside [0, tensor_count) or naming a null
// tensor) returns 3 silently, before its operator runs; the caller adds its
// own message. An operator that fails pushes "Failed to execute operator"
// (801) and returns its status. Instructions already run keep their effects.
//
// Each call assembles operands on its own stack, so interpretations on
// different contexts may run on different threads at the same time.
QxStatus run_program(DeviceContext *context, TensorBuffer *const *tensors, int32_t tensor_count,
                     const int32_t *program, int32_t start, int32_t end);

}  // namespace qx
