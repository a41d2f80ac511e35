// The portable reference operators, one per opcode: the definition of what
// each operator computes. Plain loops on the calling thread, not designed to
// be fast; device kernels must match them (bit for bit for integer operators).
//
// Each reaches tensor contents only through the context's map/unmap slots
// (inputs mapped for reading and unmapped unchanged, outputs mapped for
// writing and unmapped as written), so the same code serves every device.
// Operand extents are checked against the tensors' sizes before anything is
// mapped: a block that would reach outside a tensor, use a null tensor or a
// misaligned offset returns 3 and touches nothing. Otherwise the result is 0.
#pragma once

#include "qx_orb.h"
#include "runtime/opcodes.h"

namespace qx {

struct DeviceContext;

namespace reference {

QxStatus add_f32(DeviceContext *context, const OperandBlock *operands);
QxStatus add_i16(DeviceContext *context, const OperandBlock *operands);
QxStatus dense_acc_i8(DeviceContext *context, const OperandBlock *operands);
QxStatus dense_i8(DeviceContext *context, const OperandBlock *operands);
QxStatus gelu_f32(DeviceContext *context, const OperandBlock *operands);
QxStatus normalize_f32_to_i16(DeviceContext *context, const OperandBlock *operands);
QxStatus lstm_cell_i16(DeviceContext *context, const OperandBlock *operands);
QxStatus matmul_f32(DeviceContext *context, const OperandBlock *operands);
QxStatus copy_bytes(DeviceContext *context, const OperandBlock *operands);
QxStatus zero_bytes(DeviceContext *context, const OperandBlock *operands);
QxStatus relu_f32(DeviceContext *context, const OperandBlock *operands);
QxStatus softmax_f32(DeviceContext *context, const OperandBlock *operands);
QxStatus softmax_i16_to_q31(DeviceContext *context, const OperandBlock *operands);
QxStatus standardize_i16(DeviceContext *context, const OperandBlock *operands);
QxStatus sum_rows_i16_to_f32(DeviceContext *context, const OperandBlock *operands);

}  // namespace reference
}  // namespace qx
