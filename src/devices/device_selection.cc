#include "devices/device_selection.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "cpu/cpu_backend.h"
#if defined(QX_ORB_CUDA_BINDING)
#include "cuda/cuda_binding.h"
#endif
#include "base/error_catalogue.h"
#include "platform/platform.h"
#include "runtime/device_context.h"

namespace qx {
namespace {

// Splits "type[:number]"; false when the number is not a whole decimal
// integer in the signed 32-bit range.
bool parse_device_string(const char *device, size_t *type_length, int32_t *number) {
  const char *colon = std::strchr(device, ':');
  if (!colon) {
    *type_length = std::strlen(device);
    *number = 0;
    return true;
  }
  *type_length = static_cast<size_t>(colon - device);
  const char *digits = colon + 1;
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(digits, &end, 10);
  const bool ok = errno == 0 && *end == '\0' && value >= INT32_MIN && value <= INT32_MAX;
  errno = 0;
  if (!ok) return false;
  *number = static_cast<int32_t>(value);
  return true;
}

bool is_leading_part(const char *device, size_t length, const char *keyword) {
  return length <= std::strlen(keyword) && std::strncmp(device, keyword, length) == 0;
}

QxStatus open_cpu(int32_t thread_count, DeviceContext **context) {
  if (thread_count == 0) thread_count = platform::processor_count() / 2;
  CpuBackend *backend = nullptr;
  QxStatus status = cpu_backend_create(thread_count, &backend);
  if (status != QX_STATUS_SUCCESS) {
    QX_ERROR(errors::kDeviceFailure);  // the backend
    QX_ERROR(errors::kDeviceFailure);  // the device string
    return status;
  }
  status = create_device_context(kDeviceCpu, backend, context);
  if (status != QX_STATUS_SUCCESS) {
    cpu_backend_destroy(backend);
    QX_ERROR(errors::kDeviceFailure);
    return status;
  }
  return QX_STATUS_SUCCESS;
}

#if defined(QX_ORB_CUDA_BINDING)
// "gpu[:N]": the GPU library's device N.
QxStatus open_gpu(int32_t device_index, DeviceContext **context) {
  void *backend = nullptr;
  QxStatus status = cuda_create_backend(device_index, &backend);
  if (status != QX_STATUS_SUCCESS) {
    QX_ERROR(errors::kDeviceFailure);  // the backend
    QX_ERROR(errors::kDeviceFailure);  // the device string
    return status;
  }
  status = create_device_context(kDeviceCuda, backend, context);
  if (status != QX_STATUS_SUCCESS) {
    cuda_destroy_backend(backend);
    QX_ERROR(errors::kDeviceFailure);
    return status;
  }
  return QX_STATUS_SUCCESS;
}
#endif

}  // namespace

QxStatus open_device(const char *device, const char *preferred, DeviceContext **context) {
  size_t type_length = 0;
  int32_t number = 0;
  if (!parse_device_string(device, &type_length, &number)) return QX_STATUS_INVALID_ARGUMENT;

  if (std::strcmp(device, "best") == 0) {
    if (open_device(preferred, "gpu", context) == QX_STATUS_SUCCESS) return QX_STATUS_SUCCESS;
    const QxStatus status = open_device("cpu", "gpu", context);
    if (status == QX_STATUS_SUCCESS) return QX_STATUS_SUCCESS;
    QX_ERROR(errors::kDeviceFailure);
    return status;
  }
  if (is_leading_part(device, type_length, "cpu")) return open_cpu(number, context);
#if defined(QX_ORB_CUDA_BINDING)
  if (is_leading_part(device, type_length, "gpu")) return open_gpu(number, context);
#endif
  // No GPU backend in this build: "gpu" is not a device here.
  QX_ERROR(errors::kDeviceString, PrintableText(device).text());
  return QX_STATUS_INVALID_ARGUMENT;
}

}  // namespace qx
