// Building an operand block and running one operator, for code that calls
// operators directly rather than through a graph program.
#pragma once

#include <initializer_list>

#include "runtime/device_context.h"

namespace qx {

inline QxStatus run_operator(DeviceContext *context, Opcode opcode,
                             std::initializer_list<TensorBuffer *> tensors,
                             std::initializer_list<int32_t> immediates) {
  OperandBlock block{};
  const int tensor_count = static_cast<int>(tensors.size());
  int i = 0;
  for (TensorBuffer *tensor : tensors) block.set_tensor(i++, tensor);
  i = 0;
  for (int32_t value : immediates) block.set_immediate(tensor_count, i++, value);
  return run_operator(context, opcode, &block);
}

}  // namespace qx
