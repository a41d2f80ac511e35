// GELU by its sigmoid approximation x * sigmoid(1.702 x), single precision
// throughout. The exponent is kept non-positive so e^ never overflows.
#include <cmath>

#include "runtime/reference/shaped_operators.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus gelu_f32(DeviceContext *context, const OperandBlock *operands) {
  return map_elements<float, float>(context, operands, kOpGeluF32, [](float x) {
    const float d = 1.702f * x;
    if (d >= 0.0f) return x / (std::exp(-d) + 1.0f);
    const float t = std::exp(d);
    return t / (t + 1.0f) * x;
  });
}

}  // namespace reference
}  // namespace qx
