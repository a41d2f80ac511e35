// out (M x N) = x (M x K) times the transpose of W (N x K), no bias. Each
// product is rounded to single precision and added in increasing k to a sum
// that starts at 0, so K <= 0 writes zeros.
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus matmul_f32(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpMatmulF32);
  const int32_t m_rows = immediate[0];
  const int32_t n_outputs = immediate[1];
  const int32_t k_inputs = immediate[2];
  const int32_t out_offset = immediate[3];
  const int32_t x_offset = immediate[4];
  const int32_t w_offset = immediate[5];
  const int64_t out_count = matrix_elements(m_rows, n_outputs);
  const int64_t x_count = out_count ? matrix_elements(m_rows, k_inputs) : 0;
  const int64_t w_count = out_count ? matrix_elements(n_outputs, k_inputs) : 0;
  if (!operand_fits(context, operands->tensor(0), out_offset, out_count, 4) ||
      !operand_fits(context, operands->tensor(1), x_offset, x_count, 4) ||
      !operand_fits(context, operands->tensor(2), w_offset, w_count, 4)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  const MappedTensor w_map(context, operands->tensor(2), Access::kRead);
  if (out_count == 0) return QX_STATUS_SUCCESS;
  float *out = out_map.at<float>(out_offset);
  const float *x = x_count ? x_map.at<float>(x_offset) : nullptr;
  const float *w = w_count ? w_map.at<float>(w_offset) : nullptr;
  for (int32_t m = 0; m < m_rows; ++m) {
    for (int32_t n = 0; n < n_outputs; ++n) {
      const int64_t k_count = k_inputs > 0 ? k_inputs : 0;
      out[static_cast<int64_t>(m) * n_outputs + n] = dot_f32_in_order(
          x + static_cast<int64_t>(m) * k_count, w + static_cast<int64_t>(n) * k_count, k_count);
    }
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
