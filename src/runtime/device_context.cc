#include "runtime/device_context.h"

#include <cstring>

#include "base/error_catalogue.h"

namespace qx {

QxStatus create_device_context(uint32_t device_type, void *backend, DeviceContext **context) {
  OperationTable &table = operation_table();
  auto *made = static_cast<DeviceContext *>(
      table.host_alloc[device_type](backend, static_cast<int32_t>(sizeof(DeviceContext))));
  if (!made) {
    QX_ERROR(errors::kHostMemory);
    return QX_STATUS_OUT_OF_MEMORY;
  }
  std::memset(made, 0, sizeof(*made));
  made->device_type = device_type;
  made->backend = backend;
  made->refcount = 1;
  for (int opcode = 0; opcode < kOpcodeCount; ++opcode) {
    OpInitFn init = table.op_init[opcode][device_type];
    if (!init) continue;
    const QxStatus status = init(backend, &made->op_handles[opcode]);
    if (status != QX_STATUS_SUCCESS) {
      QX_ERROR(errors::kOperator, "init");
      // The handles made so far hold device objects (Metal pipelines):
      // without this they would outlive the context that owned them.
      for (int made_opcode = opcode - 1; made_opcode >= 0; --made_opcode) {
        if (OpReleaseFn release = table.op_release[made_opcode][device_type]) {
          release(backend, made->op_handles[made_opcode]);
        }
      }
      table.host_free[device_type](backend, made);
      return status;
    }
  }
  *context = made;
  return QX_STATUS_SUCCESS;
}

void retain_device_context(DeviceContext *context) { context->refcount += 1; }

void release_device_context(DeviceContext *context) {
  if (!context) return;
  context->refcount -= 1;
  if (context->refcount <= 0) destroy_device_context(context);
}

void destroy_device_context(DeviceContext *context) {
  OperationTable &table = operation_table();
  const uint32_t type = context->device_type;
  void *backend = context->backend;
  for (CacheEntry &entry : context->cache) {
    if (entry.buffer) {
      table.tensor_free[type](backend, entry.buffer);
      entry.buffer = nullptr;
    }
  }
  for (int opcode = kOpcodeCount - 1; opcode >= 0; --opcode) {
    if (OpReleaseFn release = table.op_release[opcode][type]) {
      release(backend, context->op_handles[opcode]);
    }
  }
  table.host_free[type](backend, context);
  if (DestroyBackendFn destroy = table.destroy_backend[type]) destroy(backend);
}

QxStatus run_operator(DeviceContext *context, int32_t opcode, const OperandBlock *operands) {
  if (opcode < 0 || opcode >= kOpcodeTableSize) return QX_STATUS_INVALID_ARGUMENT;
  const OperationTable &table = operation_table();
  if (opcode < kOpcodeCount && !(context->flags & kContextReferenceOnly)) {
    if (DeviceOpFn kernel = table.device_op[opcode][context->device_type]) {
      const QxStatus status = kernel(context->backend, context->op_handles[opcode], operands);
      if (status != QX_STATUS_INVALID_ARGUMENT) return status;
    }
  }
  ReferenceOpFn reference = table.reference_op[opcode];
  return reference ? reference(context, operands) : QX_STATUS_INVALID_ARGUMENT;
}

TensorBuffer *tensor_from_static(DeviceContext *context, const TensorBuffer *record) {
  const uint32_t type = context->device_type;
  if (record->data && (record->flags & kTensorStatic) && (type == kDeviceCpu || type == kDeviceHostShared)) {
    // Used in place: tensor_free leaves static records alone.
    return const_cast<TensorBuffer *>(record);
  }
  TensorBuffer *tensor = tensor_alloc(context, record->size, record->flags & ~kTensorStatic);
  if (!tensor) {
    QX_ERROR(errors::kDeviceMemory);
    return nullptr;
  }
  if (record->data && upload(context, tensor, record->data, 0, record->size) != 0) {
    QX_TRACE("aba5af0");
    tensor_free(context, tensor);
    return nullptr;
  }
  return tensor;
}

void *host_alloc(DeviceContext *context, int32_t size) {
  return operation_table().host_alloc[context->device_type](context->backend, size);
}
void host_free(DeviceContext *context, void *pointer) {
  operation_table().host_free[context->device_type](context->backend, pointer);
}
TensorBuffer *tensor_alloc(DeviceContext *context, int32_t size, int32_t flags) {
  return operation_table().tensor_alloc[context->device_type](context->backend, size, flags);
}
void tensor_free(DeviceContext *context, TensorBuffer *tensor) {
  operation_table().tensor_free[context->device_type](context->backend, tensor);
}
QxStatus upload(DeviceContext *context, TensorBuffer *tensor, const void *source, int32_t offset,
                int32_t length) {
  return operation_table().upload[context->device_type](context->backend, tensor, source, offset,
                                                        length);
}
QxStatus download(DeviceContext *context, TensorBuffer *tensor, void *destination,
                  int32_t offset, int32_t length) {
  return operation_table().download[context->device_type](context->backend, tensor, destination,
                                                          offset, length);
}
void *map(DeviceContext *context, TensorBuffer *tensor, int32_t mode) {
  return operation_table().map[context->device_type](context->backend, tensor, mode);
}
void unmap(DeviceContext *context, TensorBuffer *tensor, int32_t written) {
  operation_table().unmap[context->device_type](context->backend, tensor, written);
}
int32_t tensor_size(DeviceContext *context, TensorBuffer *tensor) {
  return operation_table().tensor_size[context->device_type](context->backend, tensor);
}

}  // namespace qx
