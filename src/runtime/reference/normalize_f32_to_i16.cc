// Per-column normalisation of a rows x columns float matrix to zero mean and
// unit variance, stored as Q10 int16. Single precision, sums in increasing row.
#include <cstring>

#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus normalize_f32_to_i16(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpNormalizeF32ToI16);
  const int32_t epsilon_bits = immediate[0];
  const int32_t rows = immediate[1];
  const int32_t columns = immediate[2];
  const int64_t count = matrix_elements(rows, columns);
  if (!operand_fits(context, operands->tensor(0), 0, count, 2) ||
      !operand_fits(context, operands->tensor(1), 0, count, 4)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (count == 0) return QX_STATUS_SUCCESS;
  float epsilon;
  std::memcpy(&epsilon, &epsilon_bits, sizeof(epsilon));
  int16_t *out_q10 = out_map.at<int16_t>(0);
  const float *x = x_map.at<float>(0);
  for (int32_t j = 0; j < columns; ++j) normalize_f32_column(out_q10, x, rows, columns, j, epsilon);
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
