// Row-wise softmax of Q10 values to Q31 probabilities in integer arithmetic:
// e^(x - max) from the exp tables, then scaled by 2^62 / sum.
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus softmax_i16_to_q31(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpSoftmaxI16ToQ31);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int32_t out_offset = immediate[2];
  const int32_t x_offset = immediate[3];
  const int64_t count = matrix_elements(rows, columns);
  if (!operand_fits(context, operands->tensor(0), out_offset, count, 4) ||
      !operand_fits(context, operands->tensor(1), x_offset, count, 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (count == 0) return QX_STATUS_SUCCESS;
  for (int32_t r = 0; r < rows; ++r) {
    const int64_t row_start = static_cast<int64_t>(r) * columns;
    int32_t *out_q31 = out_map.at<int32_t>(out_offset) + row_start;
    const int16_t *x_q10 = x_map.at<int16_t>(x_offset) + row_start;
    softmax_i16_to_q31_row(out_q31, x_q10, columns);
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
