// Row softmax in plain C++: the maximum from the first element on (NaN
// operands ignored), e_j from the double-precision exponential rounded to
// float, the sum in increasing j, then every e_j times 1 / sum.
#include <cmath>

#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void softmax_f32_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    const float *x = static_cast<const float *>(task.x) + r * cols;
    float *out = static_cast<float *>(task.out) + r * cols;
    float maximum = x[0];
    for (uint64_t j = 1; j < cols; ++j) maximum = std::fmax(maximum, x[j]);
    float sum = 0.0f;
    for (uint64_t j = 0; j < cols; ++j) {
      out[j] = static_cast<float>(std::exp(static_cast<double>(x[j] - maximum)));
      sum += out[j];
    }
    const float reciprocal = 1.0f / sum;
    for (uint64_t j = 0; j < cols; ++j) out[j] = out[j] * reciprocal;
  }
}

}  // namespace qx
