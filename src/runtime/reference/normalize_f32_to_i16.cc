// Per-column normalisation of a rows x columns float matrix to zero mean and
// unit variance, stored as Q10 int16. Single precision, sums in increasing row.
#include <cmath>
#include <cstring>

#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {
namespace {

// Q10 conversion: saturates, truncates toward zero, and stores 0 for NaN
// (which no int16 represents).
int16_t to_q10_saturated(float y) {
  if (y >= 32767.0f) return 32767;
  if (y <= -32768.0f) return -32768;
  if (std::isnan(y)) return 0;
  return static_cast<int16_t>(y);
}

}  // namespace

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
  const float n = static_cast<float>(rows);
  for (int32_t j = 0; j < columns; ++j) {
    float sum = 0.0f;
    for (int32_t r = 0; r < rows; ++r) sum += x[static_cast<int64_t>(r) * columns + j];
    const float mean = sum / n;
    float variance = 0.0f;
    for (int32_t r = 0; r < rows; ++r) {
      const float d = x[static_cast<int64_t>(r) * columns + j] - mean;
      variance += d * d;
    }
    variance = variance / n;
    const float inverse_sd = 1.0f / std::sqrt(variance + epsilon);
    for (int32_t r = 0; r < rows; ++r) {
      const int64_t at = static_cast<int64_t>(r) * columns + j;
      const float y = ((x[at] - mean) * inverse_sd) * 1024.0f;
      out_q10[at] = to_q10_saturated(y);
    }
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
