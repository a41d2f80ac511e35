// Registration of the portable reference operators.
#include "runtime/operation_table.h"

namespace qx {

void register_reference_operators(OperationTable &) {}

}  // namespace qx
