// Byte copies and clears within tensors. A length of 0 or less touches
// nothing. Copies behave as if through a temporary, so source and
// destination ranges may overlap within one tensor.
#include <cstring>

#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {

QxStatus copy_bytes(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpCopyBytes);
  const int32_t length = immediate[0];
  const int32_t destination_offset = immediate[1];
  const int32_t source_offset = immediate[2];
  if (!operand_fits(context, operands->tensor(0), destination_offset, length, 1) ||
      !operand_fits(context, operands->tensor(1), source_offset, length, 1)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  // Read-write: only part of the destination may be overwritten.
  const MappedTensor destination_map(context, operands->tensor(0), Access::kReadWrite);
  const MappedTensor source_map(context, operands->tensor(1), Access::kRead);
  if (length <= 0) return QX_STATUS_SUCCESS;
  std::memmove(destination_map.at<unsigned char>(destination_offset),
               source_map.at<unsigned char>(source_offset), static_cast<size_t>(length));
  return QX_STATUS_SUCCESS;
}

QxStatus zero_bytes(DeviceContext *context, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpZeroBytes);
  const int32_t length = immediate[0];
  const int32_t offset = immediate[1];
  if (!operand_fits(context, operands->tensor(0), offset, length, 1)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor destination_map(context, operands->tensor(0), Access::kWrite);
  if (length <= 0) return QX_STATUS_SUCCESS;
  std::memset(destination_map.at<unsigned char>(offset), 0, static_cast<size_t>(length));
  return QX_STATUS_SUCCESS;
}

}  // namespace reference
}  // namespace qx
