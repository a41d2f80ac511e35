// GELU by its sigmoid approximation x * sigmoid(1.702 x), single precision
// throughout. The exponent is kept non-positive so e^ never overflows.
#include <cmath>

#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus gelu_f32(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpGeluF32);
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
  for (int32_t i = 0; i < count; ++i) {
    const float xi = x[i];
    const float d = 1.702f * xi;
    if (d >= 0.0f) {
      out[i] = xi / (std::exp(-d) + 1.0f);
    } else {
      const float t = std::exp(d);
      out[i] = t / (t + 1.0f) * xi;
    }
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
