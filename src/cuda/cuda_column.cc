// Column kDeviceCuda of the operation table: one forwarding function per
// slot, because the library is loaded after the table is built (or never).
// The forwarders only convert handle types; the library does the work.
#include <utility>

#include "base/error_catalogue.h"
#include "cuda/cuda_binding.h"
#include "cuda/cuda_library.h"

namespace qx {
namespace {

// Every slot but the listing runs on a backend, which only a loaded
// library can have made.
const CudaLibrary &loaded() { return *cuda_library(); }

void destroy_backend(void *backend) { loaded().destroy_backend(backend); }
void *host_alloc(void *backend, int32_t size) { return loaded().host_alloc(backend, size); }
void host_free(void *backend, void *pointer) { loaded().host_free(backend, pointer); }
TensorBuffer *tensor_alloc(void *backend, int32_t size, int32_t flags) {
  return static_cast<TensorBuffer *>(loaded().tensor_alloc(backend, size, flags));
}
void tensor_free(void *backend, TensorBuffer *tensor) { loaded().tensor_free(backend, tensor); }
QxStatus upload(void *backend, TensorBuffer *tensor, const void *source, int32_t offset,
                int32_t length) {
  return loaded().upload(backend, tensor, source, offset, length);
}
QxStatus download(void *backend, TensorBuffer *tensor, void *destination, int32_t offset,
                  int32_t length) {
  return loaded().download(backend, tensor, destination, offset, length);
}
void *map(void *backend, TensorBuffer *tensor, int32_t mode) {
  return loaded().map(backend, tensor, mode);
}
void unmap(void *backend, TensorBuffer *tensor, int32_t written) {
  loaded().unmap(backend, tensor, written);
}
int32_t tensor_size(void *backend, TensorBuffer *tensor) {
  return loaded().tensor_size(backend, tensor);
}

// Without the library there is simply no GPU to list.
QxStatus list_devices(char ***devices, int32_t *count) {
  const CudaLibrary *library = cuda_library();
  if (!library) {
    *devices = nullptr;
    *count = 0;
    return QX_STATUS_SUCCESS;
  }
  return library->list_devices(devices, count);
}
void free_device_list(char **devices, int32_t count) {
  if (const CudaLibrary *library = cuda_library()) library->free_device_list(devices, count);
}

template <int kOpcode>
QxStatus device_op(void *backend, void *op_handle, const OperandBlock *operands) {
  return loaded().device_op[kOpcode](backend, op_handle, operands);
}

template <int... kOpcodes>
void register_device_ops(OperationTable &table, std::integer_sequence<int, kOpcodes...>) {
  ((table.device_op[kOpcodes][kDeviceCuda] = device_op<kOpcodes>), ...);
}

}  // namespace

void register_cuda_column(OperationTable &table) {
  constexpr uint32_t kType = kDeviceCuda;
  table.destroy_backend[kType] = destroy_backend;
  table.host_alloc[kType] = host_alloc;
  table.host_free[kType] = host_free;
  table.tensor_alloc[kType] = tensor_alloc;
  table.tensor_free[kType] = tensor_free;
  table.upload[kType] = upload;
  table.download[kType] = download;
  table.map[kType] = map;
  table.unmap[kType] = unmap;
  table.tensor_size[kType] = tensor_size;
  table.list_devices[kType] = list_devices;
  table.free_device_list[kType] = free_device_list;
  // Opcodes 0-13; sum_rows_i16_to_f32 (14) always runs the reference.
  // No op_init / op_release: the library's operator handles stay null.
  register_device_ops(table, std::make_integer_sequence<int, kCudaOpcodeCount>{});
}

QxStatus cuda_create_backend(int32_t device_index, void **backend) {
  const CudaLibrary *library = cuda_library();
  if (!library) {
    QX_ERROR(errors::kGpuLibraryMissing, cuda_library_file(), cuda_library_problem());
    return QX_STATUS_RUNTIME_ERROR;
  }
  const QxStatus status = library->create_backend(device_index, backend);
  if (status == QX_STATUS_SUCCESS) return status;
  char **devices = nullptr;
  int32_t count = 0;
  if (library->list_devices(&devices, &count) == QX_STATUS_SUCCESS) {
    library->free_device_list(devices, count);
    if (device_index < 0 || device_index >= count) {
      QX_ERROR(errors::kGpuDeviceMissing, static_cast<int>(device_index), static_cast<int>(count));
    }
  }
  return status;
}

void cuda_destroy_backend(void *backend) { loaded().destroy_backend(backend); }

}  // namespace qx
