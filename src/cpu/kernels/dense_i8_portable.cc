// Dense layers in plain C++, over cells of the flat rows x n_out range.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void dense_cells_portable(const DenseTask &task, uint64_t begin, uint64_t end) {
  const uint64_t n_out = static_cast<uint64_t>(task.n_out);
  for (uint64_t cell = begin; cell < end; ++cell) {
    const uint64_t r = cell / n_out;
    const auto o = static_cast<int32_t>(cell % n_out);
    const int16_t *x_row = task.x + r * static_cast<uint64_t>(task.n_in);
    const int8_t *w_row = task.w + static_cast<uint64_t>(o) * static_cast<uint64_t>(task.n_in);
    dense_store(task, cell, o, dense_dot_q17(w_row, x_row, 0, task.n_in));
  }
}

}  // namespace qx
