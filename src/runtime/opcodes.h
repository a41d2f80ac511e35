// Opcodes of the runtime's fifteen operators and the operand block that every
// operator, device kernel and reference alike, receives.
#pragma once

#include <cstdint>
#include <cstring>

namespace qx {

struct TensorBuffer;

enum Opcode : int32_t {
  kOpAddF32 = 0,
  kOpAddI16 = 1,
  kOpDenseAccI8 = 2,
  kOpDenseI8 = 3,
  kOpGeluF32 = 4,
  kOpNormalizeF32ToI16 = 5,
  kOpLstmCellI16 = 6,
  kOpMatmulF32 = 7,
  kOpCopyBytes = 8,
  kOpZeroBytes = 9,
  kOpReluF32 = 10,
  kOpSoftmaxF32 = 11,
  kOpSoftmaxI16ToQ31 = 12,
  kOpStandardizeI16 = 13,
  kOpSumRowsI16ToF32 = 14,
};
constexpr int kOpcodeCount = 15;      // opcodes with an operator
constexpr int kOpcodeTableSize = 16;  // opcode 15 exists and has no operator

// Tensor operands and int32 immediates per opcode.
struct OpcodeDescriptor {
  int32_t tensor_count;
  int32_t immediate_count;
};
constexpr OpcodeDescriptor kOpcodeDescriptors[kOpcodeTableSize] = {
    {3, 4}, {3, 4}, {4, 5}, {4, 5}, {2, 3}, {2, 3}, {3, 4}, {3, 6},
    {2, 3}, {1, 2}, {2, 3}, {2, 4}, {2, 4}, {4, 4}, {2, 4}, {0, 0},
};
static_assert(sizeof(kOpcodeDescriptors) / sizeof(kOpcodeDescriptors[0]) == kOpcodeTableSize,
              "one descriptor per opcode");

constexpr int kMaxTensorOperands = 4;
constexpr int kMaxImmediates = 6;

// Packed operands: `tensor_count` tensor-buffer pointers, then the int32
// immediates placed right after the last pointer. This byte layout is also
// the interface to external GPU implementations.
struct OperandBlock {
  alignas(alignof(void *)) unsigned char bytes[kMaxTensorOperands * sizeof(void *) +
                                               kMaxImmediates * sizeof(int32_t)];

  TensorBuffer *tensor(int index) const {
    TensorBuffer *buffer;
    std::memcpy(&buffer, bytes + index * sizeof(void *), sizeof(buffer));
    return buffer;
  }
  void set_tensor(int index, TensorBuffer *buffer) {
    std::memcpy(bytes + index * sizeof(void *), &buffer, sizeof(buffer));
  }
  int32_t immediate(int tensor_count, int index) const {
    int32_t value;
    std::memcpy(&value, bytes + tensor_count * sizeof(void *) + index * sizeof(int32_t),
                sizeof(value));
    return value;
  }
  void set_immediate(int tensor_count, int index, int32_t value) {
    std::memcpy(bytes + tensor_count * sizeof(void *) + index * sizeof(int32_t), &value,
                sizeof(value));
  }
};

}  // namespace qx
