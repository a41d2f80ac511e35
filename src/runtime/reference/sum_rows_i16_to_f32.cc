// Column sums of a rows x columns Q10 matrix as floats: an exact 32-bit
// integer sum per column, converted once and scaled by 2^-10. With no rows
// every column's sum is 0.
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus sum_rows_i16_to_f32(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpSumRowsI16ToF32);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int32_t out_offset = immediate[2];
  const int32_t x_offset = immediate[3];
  const int64_t out_count = columns > 0 ? columns : 0;
  const int64_t x_count = matrix_elements(rows, columns);
  if (!operand_fits(context, operands->tensor(0), out_offset, out_count, 4) ||
      !operand_fits(context, operands->tensor(1), x_offset, x_count, 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (out_count == 0) return QX_STATUS_SUCCESS;
  float *out = out_map.at<float>(out_offset);
  const int16_t *x_q10 = x_count ? x_map.at<int16_t>(x_offset) : nullptr;
  for (int32_t c = 0; c < columns; ++c) {
    // Wraps past 2^31 (65536 full-scale rows) like a 32-bit register would;
    // unsigned arithmetic keeps that defined.
    uint32_t sum_q10 = 0;
    for (int32_t r = 0; r < rows; ++r) {
      sum_q10 += static_cast<uint32_t>(x_q10[static_cast<int64_t>(r) * columns + c]);
    }
    out[c] = static_cast<float>(static_cast<int32_t>(sum_q10)) * 0.0009765625f;
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
