#include "cpu/cpu_backend.h"

#include <cstdio>
#include <cstring>

#include "cpu/thread_pool.h"
#include "base/error_catalogue.h"
#include "platform/platform.h"
#include "base/allocator.h"
#include "runtime/operation_table.h"

namespace qx {

QxStatus cpu_backend_create(int32_t thread_count, CpuBackend **backend) {
  auto *made = static_cast<CpuBackend *>(aligned_malloc(32, sizeof(CpuBackend)));
  if (!made) return QX_STATUS_OUT_OF_MEMORY;
  made->thread_count = thread_count;
  made->isa_flags = platform::detect_isa_flags();
  made->pool = nullptr;
  made->kernels = cpu_kernel_set(usable_isa_flags(made->isa_flags));
  if (thread_count >= 2) {
    const QxStatus status = thread_pool_create(static_cast<uint32_t>(thread_count), &made->pool);
    if (status != QX_STATUS_SUCCESS) {
      aligned_free(made);
      return status;
    }
  }
  *backend = made;
  return QX_STATUS_SUCCESS;
}

void cpu_backend_destroy(void *backend) {
  if (!backend) return;
  ThreadPool *pool = static_cast<CpuBackend *>(backend)->pool;
  aligned_free(backend);
  thread_pool_destroy(pool);
}

QxStatus cpu_list_devices(char ***devices, int32_t *count) {
  const int32_t processors = platform::processor_count();
#if defined(__APPLE__)
  if (processors == 0) return QX_STATUS_RUNTIME_ERROR;  // sysctlbyname gave no count
#endif
  static const char kFormat[] = "cpu:[0-%d] - CPU (%d threads)";
  const int length = std::snprintf(nullptr, 0, kFormat, processors, processors);
  auto **list = static_cast<char **>(heap_calloc(1, sizeof(char *)));
  char *text = static_cast<char *>(heap_malloc(static_cast<size_t>(length) + 1));
  if (!list || !text) {
    heap_free(list);
    heap_free(text);
    QX_ERROR(errors::kHeapExhausted);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  std::snprintf(text, static_cast<size_t>(length) + 1, kFormat, processors, processors);
  list[0] = text;
  *devices = list;
  *count = 1;
  return QX_STATUS_SUCCESS;
}

void cpu_free_device_list(char **devices, int32_t count) {
  if (!devices) return;
  for (int32_t i = 0; i < count; ++i) heap_free(devices[i]);
  heap_free(devices);
}

// ---- The CPU column of the operation table ------------------------------------

namespace {

constexpr size_t kCpuAlignment = 32;  // vector kernels use aligned loads

void *cpu_host_alloc(void *, int32_t size) {
  if (size < 0) return nullptr;
  return aligned_malloc(kCpuAlignment, static_cast<size_t>(size));
}

void cpu_host_free(void *, void *pointer) { aligned_free(pointer); }

TensorBuffer *cpu_tensor_alloc(void *, int32_t size, int32_t flags) {
  if (size < 0) return nullptr;
  auto *tensor = static_cast<TensorBuffer *>(aligned_malloc(kCpuAlignment, sizeof(TensorBuffer)));
  void *data = tensor ? aligned_malloc(kCpuAlignment, static_cast<size_t>(size)) : nullptr;
  if (!data) {
    aligned_free(tensor);
    return nullptr;
  }
  tensor->size = size;
  tensor->flags = flags;
  tensor->data = data;
  return tensor;
}

void cpu_tensor_free(void *, TensorBuffer *tensor) {
  if (!tensor || (tensor->flags & kTensorStatic)) return;
  aligned_free(tensor->data);
  aligned_free(tensor);
}

QxStatus cpu_upload(void *, TensorBuffer *tensor, const void *source, int32_t offset,
                    int32_t length) {
  if (length > 0) std::memcpy(static_cast<char *>(tensor->data) + offset, source, length);
  return QX_STATUS_SUCCESS;
}

QxStatus cpu_download(void *, TensorBuffer *tensor, void *destination, int32_t offset,
                      int32_t length) {
  if (length > 0) std::memcpy(destination, static_cast<char *>(tensor->data) + offset, length);
  return QX_STATUS_SUCCESS;
}

void *cpu_map(void *, TensorBuffer *tensor, int32_t) { return tensor->data; }
void cpu_unmap(void *, TensorBuffer *, int32_t) {}
int32_t cpu_tensor_size(void *, TensorBuffer *tensor) { return tensor->size; }

}  // namespace

void register_cpu_kernels(OperationTable &table);

void register_cpu_column(OperationTable &table) {
  table.destroy_backend[kDeviceCpu] = cpu_backend_destroy;
  table.host_alloc[kDeviceCpu] = cpu_host_alloc;
  table.host_free[kDeviceCpu] = cpu_host_free;
  table.tensor_alloc[kDeviceCpu] = cpu_tensor_alloc;
  table.tensor_free[kDeviceCpu] = cpu_tensor_free;
  table.upload[kDeviceCpu] = cpu_upload;
  table.download[kDeviceCpu] = cpu_download;
  table.map[kDeviceCpu] = cpu_map;
  table.unmap[kDeviceCpu] = cpu_unmap;
  table.tensor_size[kDeviceCpu] = cpu_tensor_size;
  table.list_devices[kDeviceCpu] = cpu_list_devices;
  table.free_device_list[kDeviceCpu] = cpu_free_device_list;
  register_cpu_kernels(table);
}

}  // namespace qx
