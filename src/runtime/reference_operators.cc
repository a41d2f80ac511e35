// Registration of the portable reference operators.
#include "runtime/reference/reference_operators.h"

#include "runtime/operation_table.h"

namespace qx {

void register_reference_operators(OperationTable &table) {
  ReferenceOpFn *op = table.reference_op;
  op[kOpAddF32] = reference::add_f32;
  op[kOpAddI16] = reference::add_i16;
  op[kOpDenseAccI8] = reference::dense_acc_i8;
  op[kOpDenseI8] = reference::dense_i8;
  op[kOpGeluF32] = reference::gelu_f32;
  op[kOpNormalizeF32ToI16] = reference::normalize_f32_to_i16;
  op[kOpLstmCellI16] = reference::lstm_cell_i16;
  op[kOpMatmulF32] = reference::matmul_f32;
  op[kOpCopyBytes] = reference::copy_bytes;
  op[kOpZeroBytes] = reference::zero_bytes;
  op[kOpReluF32] = reference::relu_f32;
  op[kOpSoftmaxF32] = reference::softmax_f32;
  op[kOpSoftmaxI16ToQ31] = reference::softmax_i16_to_q31;
  op[kOpStandardizeI16] = reference::standardize_i16;
  op[kOpSumRowsI16ToF32] = reference::sum_rows_i16_to_f32;
  // Opcode 15 has no operator: its entry stays empty and running it fails.
  op[kOpcodeCount] = nullptr;
}

}  // namespace qx
