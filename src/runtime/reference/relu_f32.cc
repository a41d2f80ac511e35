// out = x where x > 0, else +0 (negative values, -0 and NaN all give +0).
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus relu_f32(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpReluF32);
  const int32_t count = immediate[0];
  const int32_t out_offset = immediate[1];
  const int32_t x_offset = immediate[2];
  if (!operand_fits(context, operands->tensor(0), out_offset, count, 4) ||
      !operand_fits(context, operands->tensor(1), x_offset, count, 4)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (count <= 0) return QX_STATUS_SUCCESS;
  float *out = out_map.at<float>(out_offset);
  const float *x = x_map.at<float>(x_offset);
  for (int32_t i = 0; i < count; ++i) out[i] = x[i] > 0.0f ? x[i] : 0.0f;
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
