// One step of the fixed-point recurrent cell of width n. The gate inputs
// (Q10) are z (update), u (candidate) and o (output), n each:
//   c = c (1 - sigmoid z) + sigmoid z tanh u,   h = tanh c sigmoid o.
// The cell is read and written; h and the cell may share a tensor. Each
// element is finished (cell, then h) before the next one is read.
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus lstm_cell_i16(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpLstmCellI16);
  const int32_t width = immediate[0];
  const int32_t h_offset = immediate[1];
  const int32_t cell_offset = immediate[2];
  const int32_t gates_offset = immediate[3];
  const int64_t count = width > 0 ? width : 0;
  if (!operand_fits(context, operands->tensor(0), h_offset, count, 2) ||
      !operand_fits(context, operands->tensor(1), cell_offset, count, 2) ||
      !operand_fits(context, operands->tensor(2), gates_offset, 3 * count, 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  // The gates are only read: their contents afterwards are left unchanged.
  const MappedTensor h_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor cell_map(context, operands->tensor(1), Access::kReadWrite);
  const MappedTensor gates_map(context, operands->tensor(2), Access::kRead);
  if (count == 0) return QX_STATUS_SUCCESS;
  int16_t *h_q10 = h_map.at<int16_t>(h_offset);
  int16_t *cell_q10 = cell_map.at<int16_t>(cell_offset);
  const int16_t *z_q10 = gates_map.at<int16_t>(gates_offset);
  const int16_t *u_q10 = z_q10 + width;
  const int16_t *o_q10 = u_q10 + width;
  for (int32_t i = 0; i < width; ++i) {
    lstm_cell_q10(z_q10[i], u_q10[i], o_q10[i], &cell_q10[i], &h_q10[i]);
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
