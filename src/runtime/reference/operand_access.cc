#include "runtime/reference/operand_access.h"

#include "runtime/device_context.h"

namespace qx {

bool operand_fits(DeviceContext *context, TensorBuffer *tensor, int64_t offset, int64_t count,
                  int32_t element_bytes) {
  if (!tensor) return false;
  if (count <= 0) return true;
  return extent_fits(tensor_size(context, tensor), offset, count, element_bytes);
}

MappedTensor::MappedTensor(DeviceContext *context, TensorBuffer *tensor, Access access)
    : context_(context),
      tensor_(tensor),
      access_(access),
      bytes_(static_cast<unsigned char *>(
          map(context, tensor, access == Access::kWrite ? kMapWrite : kMapRead))) {}

MappedTensor::~MappedTensor() { unmap(context_, tensor_, access_ == Access::kRead ? 0 : 1); }

}  // namespace qx
