// out = x where x > 0, else +0 (negative values, -0 and NaN all give +0).
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/shaped_operators.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus relu_f32(DeviceContext *context, const OperandBlock *operands) {
  return map_elements<float, float>(context, operands, kOpReluF32,
                                    [](float x) { return relu_f32_value(x); });
}

}  // namespace reference
}  // namespace qx
