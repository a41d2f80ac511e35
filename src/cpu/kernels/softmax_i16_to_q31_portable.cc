// Row softmax of Q10 values to Q31 in integers, the reference's formula row
// by row.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void softmax_i16_to_q31_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    softmax_i16_to_q31_row(static_cast<int32_t *>(task.out) + r * cols,
                           static_cast<const int16_t *>(task.x) + r * cols, task.cols);
  }
}

}  // namespace qx
