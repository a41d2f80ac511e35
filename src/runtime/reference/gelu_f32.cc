// GELU by its sigmoid approximation x * sigmoid(1.702 x), single precision
// throughout. The exponent is kept non-positive so e^ never overflows.
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/shaped_operators.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus gelu_f32(DeviceContext *context, const OperandBlock *operands) {
  return map_elements<float, float>(context, operands, kOpGeluF32,
                                    [](float x) { return gelu_f32_value(x); });
}

}  // namespace reference
}  // namespace qx
