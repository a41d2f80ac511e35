// Row softmax of Q10 values to Q31 in integers, exactly as the reference.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void softmax_i16_to_q31_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x_q10 = static_cast<const int16_t *>(task.x) + r * cols;
    int32_t *out_q31 = static_cast<int32_t *>(task.out) + r * cols;
    int32_t maximum_q10 = x_q10[0];
    for (uint64_t j = 1; j < cols; ++j) {
      if (x_q10[j] > maximum_q10) maximum_q10 = x_q10[j];
    }
    int64_t sum_q31 = 0;
    for (uint64_t j = 0; j < cols; ++j) {
      out_q31[j] = exp_q31(maximum_q10 - x_q10[j]);
      sum_q31 += out_q31[j];
    }
    int64_t g_q31 = (INT64_C(1) << 62) / sum_q31;
    if (g_q31 > INT32_MAX) g_q31 = INT32_MAX;
    for (uint64_t j = 0; j < cols; ++j) out_q31[j] = round_q31(g_q31 * out_q31[j]);
  }
}

}  // namespace qx
