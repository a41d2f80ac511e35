// The operand handling two families of reference operators share, so that
// each operator file holds only its formula.
#pragma once

#include <cstdint>

#include "qx_orb.h"
#include "runtime/reference/operand_access.h"

namespace qx {
namespace reference {

// One output element per input element. Immediates: count, out offset,
// x offset. A count of 0 or less computes nothing.
template <typename Out, typename In, typename Fn>
QxStatus map_elements(DeviceContext *context, const OperandBlock *operands, Opcode opcode, Fn fn) {
  const Immediates immediate(operands, opcode);
  const int32_t count = immediate[0];
  const int32_t out_offset = immediate[1];
  const int32_t x_offset = immediate[2];
  if (!operand_fits(context, operands->tensor(0), out_offset, count, sizeof(Out)) ||
      !operand_fits(context, operands->tensor(1), x_offset, count, sizeof(In))) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (count <= 0) return QX_STATUS_SUCCESS;
  Out *out = out_map.at<Out>(out_offset);
  const In *x = x_map.at<In>(x_offset);
  for (int32_t i = 0; i < count; ++i) out[i] = fn(x[i]);
  return QX_STATUS_SUCCESS;
}

// One output row per input row of a rows x columns matrix, by
// row(out_row, x_row, columns). Immediates: rows, columns, out offset,
// x offset. An empty matrix computes nothing.
template <typename Out, typename In, typename RowFn>
QxStatus map_rows(DeviceContext *context, const OperandBlock *operands, Opcode opcode, RowFn row) {
  const Immediates immediate(operands, opcode);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int32_t out_offset = immediate[2];
  const int32_t x_offset = immediate[3];
  const int64_t count = matrix_elements(rows, columns);
  if (!operand_fits(context, operands->tensor(0), out_offset, count, sizeof(Out)) ||
      !operand_fits(context, operands->tensor(1), x_offset, count, sizeof(In))) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor x_map(context, operands->tensor(1), Access::kRead);
  if (count == 0) return QX_STATUS_SUCCESS;
  for (int32_t r = 0; r < rows; ++r) {
    const int64_t row_start = static_cast<int64_t>(r) * columns;
    row(out_map.at<Out>(out_offset) + row_start, x_map.at<In>(x_offset) + row_start, columns);
  }
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
