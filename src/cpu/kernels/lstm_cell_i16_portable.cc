// The recurrent cell one element at a time, as the reference computes it.
#include "cpu/kernels/kernel_tasks.h"

namespace qx {

void lstm_cell_i16_portable(const LstmTask &task, int32_t begin, int32_t end) {
  for (int32_t i = begin; i < end; ++i) lstm_cell_one(task, i);
}

}  // namespace qx
