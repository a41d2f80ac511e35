// How an operator reaches its operands: immediates by position, extents
// checked against tensor sizes, and tensors mapped for exactly one call.
#pragma once

#include <cstdint>

#include "runtime/opcodes.h"

namespace qx {

struct DeviceContext;

// The immediates of one opcode's operand block, by position.
class Immediates {
 public:
  Immediates(const OperandBlock *block, Opcode opcode)
      : block_(block), tensor_count_(kOpcodeDescriptors[opcode].tensor_count) {}
  int32_t operator[](int index) const { return block_->immediate(tensor_count_, index); }

 private:
  const OperandBlock *block_;
  int tensor_count_;
};

// Elements of a rows x columns matrix; 0 when either count is not positive.
constexpr int64_t matrix_elements(int32_t rows, int32_t columns) {
  return rows > 0 && columns > 0 ? static_cast<int64_t>(rows) * columns : 0;
}

// True when `count` elements of `element_bytes` bytes each, starting
// `offset` bytes into a tensor of `size` bytes, lie inside it at an offset
// that keeps them aligned. A count of 0 or less reaches nothing and fits.
constexpr bool extent_fits(int64_t size, int64_t offset, int64_t count, int32_t element_bytes) {
  if (count <= 0) return true;
  if (offset < 0 || offset > size || offset % element_bytes != 0) return false;
  // Division instead of count * element_bytes: the product may not fit.
  return count <= (size - offset) / element_bytes;
}

// extent_fits for an existing tensor of the context.
bool operand_fits(DeviceContext *context, TensorBuffer *tensor, int64_t offset, int64_t count,
                  int32_t element_bytes);

enum class Access {
  kRead,       // input: contents fetched, unmapped unchanged
  kWrite,      // output only written: contents need not be fetched
  kReadWrite,  // output read before it is written (or only partly written)
};

// One tensor mapped to host memory for the lifetime of this object.
class MappedTensor {
 public:
  MappedTensor(DeviceContext *context, TensorBuffer *tensor, Access access);
  ~MappedTensor();
  MappedTensor(const MappedTensor &) = delete;
  MappedTensor &operator=(const MappedTensor &) = delete;

  // Element view starting `byte_offset` bytes into the tensor.
  template <typename T>
  T *at(int32_t byte_offset) const {
    return reinterpret_cast<T *>(bytes_ + byte_offset);
  }

 private:
  DeviceContext *context_;
  TensorBuffer *tensor_;
  Access access_;
  unsigned char *bytes_;
};

}  // namespace qx
