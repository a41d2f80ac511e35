// x times the transpose of W with one sum per cell, products added in k
// order from 0.0f: the reference's summation order.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void matmul_f32_portable(const MatmulTask &task, uint64_t begin, uint64_t end) {
  const uint64_t n = static_cast<uint64_t>(task.n);
  const int64_t k_count = task.k > 0 ? task.k : 0;
  for (uint64_t cell = begin; cell < end; ++cell) {
    const float *x_row = task.x + (cell / n) * static_cast<uint64_t>(k_count);
    const float *w_row = task.w + (cell % n) * static_cast<uint64_t>(k_count);
    task.out[cell] = dot_f32_in_order(x_row, w_row, k_count);
  }
}

}  // namespace qx
