// Which columns the operation table has: every backend of this build, then
// the reference operators.
#include "runtime/operation_table.h"
#if defined(QX_ORB_CUDA_BINDING)
#include "cuda/cuda_binding.h"
#endif

namespace qx {
namespace {

OperationTable make_operation_table() {
  OperationTable table{};
  register_cpu_column(table);
#if defined(QX_ORB_CUDA_BINDING)
  register_cuda_column(table);
#endif
  register_reference_operators(table);
  return table;
}

}  // namespace

OperationTable &operation_table() {
  static OperationTable table = make_operation_table();
  return table;
}

}  // namespace qx
