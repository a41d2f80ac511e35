// The Metal backend's record, its tensors and host access, kernels, device
// list and operation-table column. Operators are in metal_operators.cc.
#include "metal/metal_backend.h"

#include <cstdio>
#include <cstring>

#include "base/allocator.h"
#include "base/error_catalogue.h"
#include "metal/metal_backend_internal.h"
#include "metal/shader_library.h"

namespace qx {
namespace {

// Kernel function names in the shader library, by opcode.
constexpr const char *kKernelNames[kOpcodeCount] = {
    "taabe4",   "taabe236", "taabe99",  "taabe90",  "taabe123", "taabe229", "taabe263", "taabe114",
    nullptr,    nullptr,    "taabe144", "taabe243", "taabe142", "taabe257", "taabe89",
};

MetalBackend *as_backend(void *backend) { return static_cast<MetalBackend *>(backend); }
MetalTensor *as_tensor(TensorBuffer *tensor) { return reinterpret_cast<MetalTensor *>(tensor); }

// Drops the compute and blit encoders and both command buffers, unwaited.
void drop_command_state(MetalBackend *backend) {
  mtl::release(backend->compute_encoder);
  mtl::release(backend->blit_encoder);
  mtl::release(backend->current);
  mtl::release(backend->committed);
  backend->compute_encoder = nullptr;
  backend->blit_encoder = nullptr;
  backend->current = nullptr;
  backend->committed = nullptr;
  backend->encoded_count = 0;
}

void *metal_host_alloc(void *, int32_t size) {
  return size < 0 ? nullptr : heap_malloc(static_cast<size_t>(size));
}

void metal_host_free(void *, void *pointer) { heap_free(pointer); }

TensorBuffer *metal_tensor_alloc(void *backend, int32_t size, int32_t flags) {
  if (size < 0) return nullptr;
  auto *tensor = static_cast<MetalTensor *>(heap_malloc(sizeof(MetalTensor)));
  if (!tensor) return nullptr;
  // Metal makes no empty buffers; an empty tensor still gets one to bind.
  tensor->buffer = mtl::device_new_buffer(as_backend(backend)->device,
                                          size > 0 ? static_cast<size_t>(size) : 4);
  if (!tensor->buffer) {
    heap_free(tensor);
    return nullptr;
  }
  tensor->size = size;
  tensor->flags = flags;
  return reinterpret_cast<TensorBuffer *>(tensor);
}

void metal_tensor_free(void *, TensorBuffer *handle) {
  if (!handle) return;
  MetalTensor *tensor = as_tensor(handle);
  // Command buffers that use the buffer keep it alive until they have run.
  mtl::release(tensor->buffer);
  heap_free(tensor);
}

bool range_fits(const MetalTensor *tensor, int32_t offset, int32_t length) {
  return offset >= 0 && length >= 0 && offset <= tensor->size && length <= tensor->size - offset;
}

QxStatus metal_upload(void *backend, TensorBuffer *handle, const void *source, int32_t offset,
                      int32_t length) {
  MetalTensor *tensor = as_tensor(handle);
  if (!range_fits(tensor, offset, length)) return QX_STATUS_INVALID_ARGUMENT;
  metal_synchronize(as_backend(backend));
  if (length > 0) {
    std::memcpy(static_cast<unsigned char *>(mtl::buffer_contents(tensor->buffer)) + offset,
                source, static_cast<size_t>(length));
  }
  return QX_STATUS_SUCCESS;
}

QxStatus metal_download(void *backend, TensorBuffer *handle, void *destination, int32_t offset,
                        int32_t length) {
  MetalTensor *tensor = as_tensor(handle);
  if (!range_fits(tensor, offset, length)) return QX_STATUS_INVALID_ARGUMENT;
  metal_synchronize(as_backend(backend));
  if (length > 0) {
    std::memcpy(destination,
                static_cast<const unsigned char *>(mtl::buffer_contents(tensor->buffer)) + offset,
                static_cast<size_t>(length));
  }
  return QX_STATUS_SUCCESS;
}

// Both modes wait: a buffer the host only writes may still be read by
// queued work.
void *metal_map(void *backend, TensorBuffer *handle, int32_t) {
  metal_synchronize(as_backend(backend));
  return mtl::buffer_contents(as_tensor(handle)->buffer);
}

// Shared storage: what the host wrote is seen by work committed later.
void metal_unmap(void *, TensorBuffer *, int32_t) {}

int32_t metal_tensor_size(void *, TensorBuffer *handle) { return as_tensor(handle)->size; }

void free_kernel(MetalKernel *kernel) {
  if (!kernel) return;
  mtl::release(kernel->pipeline);
  mtl::release(kernel->function);
  heap_free(kernel->name);
  heap_free(kernel);
}

// op_init of a compute opcode: the kernel's function and pipeline, built
// once per context.
QxStatus make_kernel(MetalBackend *backend, int32_t opcode, void **op_handle) {
  auto *handle = static_cast<MetalOpHandle *>(heap_calloc(1, sizeof(MetalOpHandle)));
  if (!handle) {
    QX_ERROR(errors::kHeapExhausted);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  const char *name = kKernelNames[opcode];
  const size_t name_bytes = std::strlen(name) + 1;
  auto *kernel = static_cast<MetalKernel *>(heap_calloc(1, sizeof(MetalKernel)));
  char *name_copy = kernel ? static_cast<char *>(heap_malloc(name_bytes)) : nullptr;
  if (!name_copy) {
    QX_ERROR(errors::kHeapExhausted);
    QX_ERROR(errors::kDeviceList);
    heap_free(kernel);
    heap_free(handle);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  std::memcpy(name_copy, name, name_bytes);
  kernel->name = name_copy;
  void *pool = mtl::autorelease_pool_push();
  kernel->function = mtl::library_new_function(backend->library, name);
  if (kernel->function) {
    kernel->pipeline = mtl::device_new_compute_pipeline(backend->device, kernel->function);
  }
  mtl::autorelease_pool_pop(pool);
  if (!kernel->pipeline) {
    QX_ERROR(errors::kMetalPipeline);
    QX_ERROR(errors::kDeviceList);
    free_kernel(kernel);
    heap_free(handle);
    return QX_STATUS_RUNTIME_ERROR;
  }
  handle->kernel = kernel;
  *op_handle = handle;
  return QX_STATUS_SUCCESS;
}

void release_kernel(void *, void *op_handle) {
  auto *handle = static_cast<MetalOpHandle *>(op_handle);
  if (!handle) return;
  free_kernel(handle->kernel);
  heap_free(handle);
}

template <int32_t kOpcode>
QxStatus op_init(void *backend, void **op_handle) {
  return make_kernel(as_backend(backend), kOpcode, op_handle);
}

constexpr OpInitFn kOpInits[kOpcodeCount] = {
    op_init<0>, op_init<1>, op_init<2>,  op_init<3>,  op_init<4>,  op_init<5>,  op_init<6>, op_init<7>,
    op_init<8>, op_init<9>, op_init<10>, op_init<11>, op_init<12>, op_init<13>, op_init<14>,
};

void free_strings(char **strings, int32_t count) {
  for (int32_t i = 0; i < count; ++i) heap_free(strings[i]);
  heap_free(strings);
}

}  // namespace

void metal_synchronize(MetalBackend *backend) {
  if (backend->current) {
    mtl::command_buffer_commit(backend->current);
    mtl::release(backend->committed);
    backend->committed = backend->current;
    backend->current = nullptr;
    backend->encoded_count = 0;
  }
  if (backend->committed) {
    // One queue runs its command buffers in order: the last one covers all.
    mtl::command_buffer_wait_until_completed(backend->committed);
    mtl::release(backend->committed);
    backend->committed = nullptr;
  }
}

void metal_count_encoder(MetalBackend *backend) {
  if (backend->encoded_count < 3) {
    ++backend->encoded_count;
    return;
  }
  mtl::command_buffer_commit(backend->current);
  mtl::release(backend->committed);
  backend->committed = backend->current;
  backend->current = nullptr;
  backend->encoded_count = 0;
}

QxStatus metal_backend_create(int32_t device_index, void **backend_out) {
  if (device_index != 0) {
    QX_ERROR(errors::kArgumentInvalid, "device_index");
    return QX_STATUS_INVALID_ARGUMENT;
  }
  auto *backend = static_cast<MetalBackend *>(heap_calloc(1, sizeof(MetalBackend)));
  if (!backend) {
    QX_ERROR(errors::kHeapExhausted);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  void *pool = mtl::autorelease_pool_push();
  QxStatus status = QX_STATUS_SUCCESS;
  backend->device = mtl::create_system_default_device();
  if (!backend->device) {
    QX_ERROR(errors::kMetalNoDevice);
    status = QX_STATUS_RUNTIME_ERROR;
  } else if (!(backend->queue = mtl::device_new_command_queue(backend->device))) {
    QX_ERROR(errors::kMetalNoQueue);
    status = QX_STATUS_RUNTIME_ERROR;
  } else if (!(backend->library = mtl::device_new_library(backend->device, mtl::kShaderLibrary,
                                                          mtl::kShaderLibrarySize))) {
    QX_ERROR(errors::kMetalLibrary);
    QX_ERROR(errors::kDeviceList);
    status = QX_STATUS_RUNTIME_ERROR;
  }
  mtl::autorelease_pool_pop(pool);
  if (status != QX_STATUS_SUCCESS) {
    metal_backend_destroy(backend);
    return status;
  }
  *backend_out = backend;
  return QX_STATUS_SUCCESS;
}

void metal_backend_destroy(void *handle) {
  MetalBackend *backend = as_backend(handle);
  if (!backend) return;
  drop_command_state(backend);
  mtl::release(backend->library);
  mtl::release(backend->queue);
  mtl::release(backend->device);
  heap_free(backend);
}

QxStatus metal_list_devices(char ***devices_out, int32_t *count_out) {
  void *pool = mtl::autorelease_pool_push();
  mtl::DeviceArray *devices = mtl::copy_all_devices();
  const uint64_t found = devices ? mtl::device_array_count(devices) : 0;
  const int32_t count = found > 1024 ? 1024 : static_cast<int32_t>(found);
  QxStatus status = QX_STATUS_SUCCESS;
  char **strings = nullptr;
  if (count > 0) {
    strings = static_cast<char **>(heap_calloc(static_cast<size_t>(count), sizeof(char *)));
    if (!strings) status = QX_STATUS_OUT_OF_MEMORY;
  }
  for (int32_t i = 0; status == QX_STATUS_SUCCESS && i < count; ++i) {
    const char *name = mtl::device_name(mtl::device_array_at(devices, static_cast<uint64_t>(i)));
    const int length = std::snprintf(nullptr, 0, "gpu:%d - %s", i, name);
    strings[i] = length < 0 ? nullptr : static_cast<char *>(heap_malloc(length + 1u));
    if (!strings[i]) {
      free_strings(strings, i);
      strings = nullptr;
      status = QX_STATUS_OUT_OF_MEMORY;
      break;
    }
    std::snprintf(strings[i], length + 1u, "gpu:%d - %s", i, name);
  }
  mtl::release(devices);
  mtl::autorelease_pool_pop(pool);
  if (status != QX_STATUS_SUCCESS) {
    QX_ERROR(errors::kHeapExhausted);
    return status;
  }
  *devices_out = strings;
  *count_out = count;
  return QX_STATUS_SUCCESS;
}

void metal_free_device_list(char **devices, int32_t count) {
  if (devices) free_strings(devices, count < 0 ? 0 : count);
}

const char *metal_kernel_name(int32_t opcode) {
  return opcode >= 0 && opcode < kOpcodeCount ? kKernelNames[opcode] : nullptr;
}

void register_metal_column(OperationTable &table) {
  table.destroy_backend[kDeviceMetal] = metal_backend_destroy;
  table.host_alloc[kDeviceMetal] = metal_host_alloc;
  table.host_free[kDeviceMetal] = metal_host_free;
  table.tensor_alloc[kDeviceMetal] = metal_tensor_alloc;
  table.tensor_free[kDeviceMetal] = metal_tensor_free;
  table.upload[kDeviceMetal] = metal_upload;
  table.download[kDeviceMetal] = metal_download;
  table.map[kDeviceMetal] = metal_map;
  table.unmap[kDeviceMetal] = metal_unmap;
  table.tensor_size[kDeviceMetal] = metal_tensor_size;
  table.list_devices[kDeviceMetal] = metal_list_devices;
  table.free_device_list[kDeviceMetal] = metal_free_device_list;
  for (int opcode = 0; opcode < kOpcodeCount; ++opcode) {
    table.device_op[opcode][kDeviceMetal] = kMetalOperators[opcode];
    if (kKernelNames[opcode]) {  // the two blits need no kernel
      table.op_init[opcode][kDeviceMetal] = kOpInits[opcode];
      table.op_release[opcode][kDeviceMetal] = release_kernel;
    }
  }
}

}  // namespace qx
