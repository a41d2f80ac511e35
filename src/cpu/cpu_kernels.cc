// The CPU's own kernels (device_op entries). None yet: every operator runs
// its reference form until vector kernels are added here.
#include "runtime/operation_table.h"

namespace qx {

void register_cpu_kernels(OperationTable &) {}

}  // namespace qx
