// Per-column affine standardisation of Q10 rows: (x - shift) * scale with a
// Q10 scale, saturated. In place is allowed (out and x the same elements).
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus standardize_i16(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpStandardizeI16);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int32_t out_offset = immediate[2];
  const int32_t x_offset = immediate[3];
  const int64_t count = matrix_elements(rows, columns);
  const int64_t column_count = count ? columns : 0;
  if (!operand_fits(context, operands->tensor(0), out_offset, count, 2) ||
      !operand_fits(context, operands->tensor(1), x_offset, count, 2) ||
      !operand_fits(context, operands->tensor(2), 0, column_count, 2) ||
      !operand_fits(context, operands->tensor(3), 0, column_count, 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  const MappedTensor shift_map(context, operands->tensor(2), Access::kRead);
  const MappedTensor scale_map(context, operands->tensor(3), Access::kRead);
  if (count == 0) return QX_STATUS_SUCCESS;
  int16_t *out_q10 = out_map.at<int16_t>(out_offset);
  const int16_t *x_q10 = x_map.at<int16_t>(x_offset);
  const int16_t *shift_q10 = shift_map.at<int16_t>(0);
  const int16_t *scale_q10 = scale_map.at<int16_t>(0);
  for (int32_t r = 0; r < rows; ++r) {
    const int64_t row_start = static_cast<int64_t>(r) * columns;
    for (int32_t c = 0; c < columns; ++c) {
      out_q10[row_start + c] = standardize_q10(x_q10[row_start + c], shift_q10[c], scale_q10[c]);
    }
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
