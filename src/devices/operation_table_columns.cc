// Which columns the operation table has: every backend of this build, then
// the reference operators.
#include "devices/gpu_backend.h"
#include "runtime/operation_table.h"

namespace qx {
namespace {

OperationTable make_operation_table() {
  OperationTable table{};
  register_cpu_column(table);
  if (const GpuBackend *gpu = gpu_backend()) gpu->register_column(table);
  register_reference_operators(table);
  return table;
}

}  // namespace

OperationTable &operation_table() {
  static OperationTable table = make_operation_table();
  return table;
}

}  // namespace qx
