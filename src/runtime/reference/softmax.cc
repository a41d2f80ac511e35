// Row-wise softmaxes. softmax_f32 in single precision: shift by the row
// maximum (NaN operands ignored), exponentiate, scale by the reciprocal of
// the sum. softmax_i16_to_q31 of Q10 values to Q31 probabilities in integer
// arithmetic: e^(x - max) from the exp tables, then scaled by 2^62 / sum.
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/reference_operators.h"
#include "runtime/reference/shaped_operators.h"

namespace qx {
namespace reference {

QxStatus softmax_f32(DeviceContext *context, const OperandBlock *operands) {
  return map_rows<float, float>(context, operands, kOpSoftmaxF32, softmax_f32_row);
}

QxStatus softmax_i16_to_q31(DeviceContext *context, const OperandBlock *operands) {
  return map_rows<int32_t, int16_t>(context, operands, kOpSoftmaxI16ToQ31, softmax_i16_to_q31_row);
}

}  // namespace reference
}  // namespace qx
