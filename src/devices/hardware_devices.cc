// The exported device listing: every device type's list, concatenated in
// device-type order.
#include <cstring>

#include "base/error_catalogue.h"
#include "base/allocator.h"
#include "runtime/operation_table.h"

namespace qx {
namespace {

struct TypeLists {
  char **lists[kDeviceTypeCount] = {};
  int32_t counts[kDeviceTypeCount] = {};

  void release(const OperationTable &table) {
    for (int type = 0; type < kDeviceTypeCount; ++type) {
      if (lists[type] && table.free_device_list[type]) {
        table.free_device_list[type](lists[type], counts[type]);
      }
      lists[type] = nullptr;
      counts[type] = 0;
    }
  }
};

void free_strings(char **array, int32_t count) {
  for (int32_t i = 0; i < count; ++i) heap_free(array[i]);
  heap_free(array);
}

}  // namespace
}  // namespace qx

using namespace qx;

extern "C" QX_API QxStatus qx_orb_list_hardware_devices(char ***hardware_devices,
                                                        int32_t *num_hardware_devices) {
  error_stack_reset();
  if (null_argument(hardware_devices, "hardware_devices") ||
      null_argument(num_hardware_devices, "num_hardware_devices")) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  *hardware_devices = nullptr;
  *num_hardware_devices = 0;

  const OperationTable &table = operation_table();
  TypeLists per_type;
  int64_t total = 0;
  for (int type = 0; type < kDeviceTypeCount; ++type) {
    if (!table.list_devices[type]) continue;
    const QxStatus status = table.list_devices[type](&per_type.lists[type], &per_type.counts[type]);
    if (status != QX_STATUS_SUCCESS) {
      QX_ERROR(errors::kDeviceList);
      per_type.release(table);
      return status;
    }
    if (per_type.counts[type] > 0) total += per_type.counts[type];
  }
  if (total < 1) {
    per_type.release(table);
    return QX_STATUS_SUCCESS;
  }

  auto **array = static_cast<char **>(heap_calloc(static_cast<size_t>(total), sizeof(char *)));
  if (!array) {
    QX_ERROR(errors::kHeapExhausted);
    per_type.release(table);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  int32_t copied = 0;
  for (int type = 0; type < kDeviceTypeCount; ++type) {
    for (int32_t i = 0; per_type.lists[type] && i < per_type.counts[type]; ++i) {
      const char *text = per_type.lists[type][i];
      if (!text) continue;  // null entries are not counted
      const size_t bytes = std::strlen(text) + 1;
      auto *copy = static_cast<char *>(heap_malloc(bytes));
      if (!copy) {
        QX_ERROR(errors::kHeapExhausted);
        per_type.release(table);
        free_strings(array, copied);
        return QX_STATUS_OUT_OF_MEMORY;
      }
      std::memcpy(copy, text, bytes);
      array[copied++] = copy;
    }
  }
  per_type.release(table);
  *hardware_devices = array;
  *num_hardware_devices = copied;
  return QX_STATUS_SUCCESS;
}

extern "C" QX_API void qx_orb_free_hardware_devices(char **hardware_devices,
                                                    int32_t num_hardware_devices) {
  if (!hardware_devices) return;
  free_strings(hardware_devices, num_hardware_devices < 0 ? 0 : num_hardware_devices);
}
