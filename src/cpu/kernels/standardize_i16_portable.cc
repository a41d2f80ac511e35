// Per-column affine standardisation of Q10 rows, the reference's formula.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void standardize_i16_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const int16_t *x_q10 = static_cast<const int16_t *>(task.x) + r * cols;
    int16_t *out_q10 = static_cast<int16_t *>(task.out) + r * cols;
    for (uint64_t c = 0; c < cols; ++c) {
      out_q10[c] = standardize_q10(x_q10[c], task.shift[c], task.scale[c]);
    }
  }
}

}  // namespace qx
