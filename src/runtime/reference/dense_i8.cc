// Dense layers with Q7 weights and biases on Q10 inputs: dense_i8 stores
// W x + b, dense_acc_i8 adds it onto the output (both saturated to int16).
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {
namespace {

template <bool kAccumulate>
QxStatus dense(DeviceContext *context, const OperandBlock *operands, Opcode opcode) {
  const Immediates immediate(operands, opcode);
  const int32_t rows = immediate[0];
  const int32_t outputs = immediate[1];
  const int32_t inputs = immediate[2];
  const int32_t out_offset = immediate[3];
  const int32_t x_offset = immediate[4];
  // Any empty dimension computes nothing, so nothing is reached either.
  const bool empty = rows <= 0 || outputs <= 0 || inputs <= 0;
  const int64_t out_count = empty ? 0 : matrix_elements(rows, outputs);
  const int64_t x_count = empty ? 0 : matrix_elements(rows, inputs);
  const int64_t w_count = empty ? 0 : matrix_elements(outputs, inputs);
  const int64_t bias_count = empty ? 0 : outputs;
  if (!operand_fits(context, operands->tensor(0), out_offset, out_count, 2) ||
      !operand_fits(context, operands->tensor(1), x_offset, x_count, 2) ||
      !operand_fits(context, operands->tensor(2), 0, w_count, 1) ||
      !operand_fits(context, operands->tensor(3), 0, bias_count, 1)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0),
                             kAccumulate ? Access::kReadWrite : Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  const MappedTensor w_map(context, operands->tensor(2), Access::kRead);
  const MappedTensor bias_map(context, operands->tensor(3), Access::kRead);
  if (empty) return QX_STATUS_SUCCESS;
  int16_t *out_q10 = out_map.at<int16_t>(out_offset);
  const int16_t *x_q10 = x_map.at<int16_t>(x_offset);
  const int8_t *w_q7 = w_map.at<int8_t>(0);
  const int8_t *bias_q7 = bias_map.at<int8_t>(0);
  for (int32_t r = 0; r < rows; ++r) {
    const int16_t *x_row = x_q10 + static_cast<int64_t>(r) * inputs;
    int16_t *out_row = out_q10 + static_cast<int64_t>(r) * outputs;
    for (int32_t o = 0; o < outputs; ++o) {
      const int8_t *w_row = w_q7 + static_cast<int64_t>(o) * inputs;
      out_row[o] = dense_output_q10(dense_dot_q17(w_row, x_row, 0, inputs), bias_q7[o],
                                    kAccumulate, out_row[o]);
    }
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace

QxStatus dense_i8(DeviceContext *context, const OperandBlock *operands) {
  return dense<false>(context, operands, kOpDenseI8);
}

QxStatus dense_acc_i8(DeviceContext *context, const OperandBlock *operands) {
  return dense<true>(context, operands, kOpDenseAccI8);
}

}  // namespace reference
}  // namespace qx
