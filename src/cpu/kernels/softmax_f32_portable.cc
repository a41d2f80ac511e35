// Row softmax in plain C++, the reference's formula row by row.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void softmax_f32_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    softmax_f32_row(static_cast<float *>(task.out) + r * cols,
                    static_cast<const float *>(task.x) + r * cols, task.cols);
  }
}

}  // namespace qx
