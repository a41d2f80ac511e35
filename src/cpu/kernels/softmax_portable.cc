// Row softmaxes in plain C++: the reference's row formulas, row by row.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {
namespace {

template <typename Out, typename In, void (*kRow)(Out *, const In *, int64_t)>
void rows_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  const uint64_t cols = static_cast<uint64_t>(task.cols);
  for (uint64_t r = begin; r < end; ++r) {
    kRow(static_cast<Out *>(task.out) + r * cols, static_cast<const In *>(task.x) + r * cols,
         task.cols);
  }
}

}  // namespace

void softmax_f32_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  rows_portable<float, float, softmax_f32_row>(task, begin, end);
}

void softmax_i16_to_q31_portable(const RowsTask &task, uint64_t begin, uint64_t end) {
  rows_portable<int32_t, int16_t, softmax_i16_to_q31_row>(task, begin, end);
}

}  // namespace qx
