#include "runtime/graph_interpreter.h"

#include "base/error_catalogue.h"
#include "runtime/device_context.h"
#include "runtime/opcodes.h"

namespace qx {
namespace {

static_assert(
    [] {
      for (const OpcodeDescriptor &descriptor : kOpcodeDescriptors) {
        if (descriptor.tensor_count > kMaxTensorOperands) return false;
        if (descriptor.immediate_count > kMaxImmediates) return false;
      }
      return true;
    }(),
    "every instruction's operands fit one operand block");

}  // namespace

QxStatus run_program(DeviceContext *context, TensorBuffer *const *tensors, int32_t tensor_count,
                     const int32_t *program, int32_t start, int32_t end) {
  if (start >= end) return QX_STATUS_SUCCESS;
  if (!context || !program || start < 0) return QX_STATUS_INVALID_ARGUMENT;
  OperandBlock operands{};
  int32_t p = start;
  while (p < end) {
    const int32_t opcode = program[p];
    // Checked before the descriptor table is read: it has 16 entries only.
    if (opcode < 0 || opcode >= kOpcodeTableSize) return QX_STATUS_INVALID_ARGUMENT;
    const OpcodeDescriptor &descriptor = kOpcodeDescriptors[opcode];
    int32_t q = p + 1;
    for (int operand = 0; operand < descriptor.tensor_count; ++operand, ++q) {
      if (q >= end) return QX_STATUS_INVALID_ARGUMENT;
      const int32_t index = program[q];
      if (index < 0 || index >= tensor_count || !tensors || !tensors[index]) {
        return QX_STATUS_INVALID_ARGUMENT;
      }
      operands.set_tensor(operand, tensors[index]);
    }
    for (int immediate = 0; immediate < descriptor.immediate_count; ++immediate, ++q) {
      if (q >= end) return QX_STATUS_INVALID_ARGUMENT;
      operands.set_immediate(descriptor.tensor_count, immediate, program[q]);
    }
    const QxStatus status = run_operator(context, opcode, &operands);
    if (status != QX_STATUS_SUCCESS) {
      QX_ERROR(errors::kOperator, "execute");
      return status;
    }
    p = q;
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace qx
