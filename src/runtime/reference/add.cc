// Element-wise additions. In place is allowed (out and a the same elements):
// the loop runs in increasing index, reading each element before writing it.
#include "runtime/operator_arithmetic.h"
#include "runtime/reference/operand_access.h"
#include "runtime/reference/reference_operators.h"

namespace qx {
namespace reference {
namespace {

template <typename T, typename Add>
QxStatus add_elements(DeviceContext *context, const OperandBlock *operands, Opcode opcode,
                      Add add) {
  const Immediates immediate(operands, opcode);
  const int32_t count = immediate[0];
  const int32_t out_offset = immediate[1];
  const int32_t a_offset = immediate[2];
  const int32_t b_offset = immediate[3];
  constexpr int32_t kBytes = sizeof(T);
  if (!operand_fits(context, operands->tensor(0), out_offset, count, kBytes) ||
      !operand_fits(context, operands->tensor(1), a_offset, count, kBytes) ||
      !operand_fits(context, operands->tensor(2), b_offset, count, kBytes)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  const MappedTensor out_map(context, operands->tensor(0), Access::kWrite);
  const MappedTensor a_map(context, operands->tensor(1), Access::kRead);
  const MappedTensor b_map(context, operands->tensor(2), Access::kRead);
  if (count <= 0) return QX_STATUS_SUCCESS;
  T *out = out_map.at<T>(out_offset);
  const T *a = a_map.at<T>(a_offset);
  const T *b = b_map.at<T>(b_offset);
  for (int32_t i = 0; i < count; ++i) out[i] = add(a[i], b[i]);
  return QX_STATUS_SUCCESS;
}

}  // namespace

QxStatus add_f32(DeviceContext *context, const OperandBlock *operands) {
  return add_elements<float>(context, operands, kOpAddF32, [](float a, float b) { return a + b; });
}

QxStatus add_i16(DeviceContext *context, const OperandBlock *operands) {
  return add_elements<int16_t>(context, operands, kOpAddI16, add_q10);
}

}  // namespace reference
}  // namespace qx
