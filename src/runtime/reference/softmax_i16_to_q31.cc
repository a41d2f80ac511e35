// Row-wise softmax of Q10 values to Q31 probabilities in integer arithmetic:
// e^(x - max) from the exp tables, then scaled by 2^62 / sum.
#include "runtime/fixed_point.h"
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
    int32_t maximum_q10 = x_q10[0];
    for (int32_t j = 1; j < columns; ++j) {
      if (x_q10[j] > maximum_q10) maximum_q10 = x_q10[j];
    }
    // Every term is at least e^(-16) (242 in Q31), so the sum is never 0;
    // the largest term is e^0 and keeps 2^62 / sum below 2^31 + 1.
    int64_t sum_q31 = 0;
    for (int32_t j = 0; j < columns; ++j) {
      const int32_t h_q10 = maximum_q10 - x_q10[j];  // 0 ... 65535
      out_q31[j] = exp_q31(h_q10);                   // saturates at h = 16383
      sum_q31 += out_q31[j];
    }
    int64_t g_q31 = (INT64_C(1) << 62) / sum_q31;
    if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
    for (int32_t j = 0; j < columns; ++j) out_q31[j] = round_q31(g_q31 * out_q31[j]);
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
