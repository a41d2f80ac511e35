// Row-wise softmax in single precision: shift by the row maximum (NaN
// operands ignored), exponentiate, scale by the reciprocal of the sum.
#include <cmath>

#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus softmax_f32(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpSoftmaxF32);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int32_t out_offset = immediate[2];
  const int32_t x_offset = immediate[3];
  const int64_t count = matrix_elements(rows, columns);
  if (!operand_fits(context, operands->tensor(0), out_offset, count, 4) ||
      !operand_fits(context, operands->tensor(1), x_offset, count, 4)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (count == 0) return QX_STATUS_SUCCESS;
  for (int32_t r = 0; r < rows; ++r) {
    const int64_t row_start = static_cast<int64_t>(r) * columns;
    float *out = out_map.at<float>(out_offset) + row_start;
    const float *x = x_map.at<float>(x_offset) + row_start;
    softmax_f32_row(out, x, columns);
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
