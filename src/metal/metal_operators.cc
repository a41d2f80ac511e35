// The 15 device kernels of the Metal column: each checks its operands as the
// reference operator does, then encodes one compute dispatch or one blit into
// the open command buffer. Immediates are bound with setBytes from index 0,
// the tensors after them at their byte offsets.
//
// Status 3 ("not done", the reference operator runs through map / unmap)
// where Metal cannot do the work as asked: operands outside their tensors
// (the reference then refuses them too), and copies or fills whose offsets
// or length are not multiples of 4, which Metal's blits require on macOS.
#include <algorithm>
#include <initializer_list>

#include "base/error_catalogue.h"
#include "metal/metal_backend_internal.h"
#include "runtime/operation_table.h"
#include "runtime/reference/operand_access.h"

namespace qx {
namespace {

MetalBackend *as_backend(void *backend) { return static_cast<MetalBackend *>(backend); }
MetalTensor *as_tensor(TensorBuffer *tensor) { return reinterpret_cast<MetalTensor *>(tensor); }

// extent_fits for one operand; a null tensor never fits.
bool fits(TensorBuffer *tensor, int64_t offset, int64_t count, int32_t element_bytes) {
  if (!tensor) return false;
  return extent_fits(as_tensor(tensor)->size, offset, count, element_bytes);
}

struct TensorArgument {
  TensorBuffer *tensor;
  int32_t offset;
};

enum class Grid {
  kThreads,      // a grid of (x, y, z) threads
  kDenseGroups,  // dense: x outputs, y rows; groups of (w, 16, 1)
  kRowGroups,    // softmax: x rows of y columns; one group of min(t, y) per row
};
struct Dispatch {
  Grid grid;
  uint64_t x, y, z;
};

constexpr uint64_t kDenseOutputsPerGroup = 16;

QxStatus encode_compute(void *backend_handle, void *op_handle,
                        std::initializer_list<int32_t> immediates,
                        std::initializer_list<TensorArgument> tensors, Dispatch dispatch) {
  MetalBackend *backend = as_backend(backend_handle);
  if (!op_handle) return QX_STATUS_INVALID_ARGUMENT;  // no kernel made for this context
  const MetalKernel *kernel = static_cast<const MetalOpHandle *>(op_handle)->kernel;
  void *pool = mtl::autorelease_pool_push();
  if (!backend->current) {
    backend->current = mtl::queue_command_buffer(backend->queue);
    if (backend->current) mtl::command_buffer_set_label(backend->current, kernel->name);
  }
  if (backend->current && !backend->compute_encoder) {
    backend->compute_encoder = mtl::command_buffer_compute_encoder(backend->current);
  }
  if (!backend->current || !backend->compute_encoder) {
    mtl::autorelease_pool_pop(pool);
    QX_ERROR(errors::kMetalDispatch);
    return QX_STATUS_RUNTIME_ERROR;
  }
  mtl::ComputeEncoder *encoder = backend->compute_encoder;
  mtl::compute_set_pipeline(encoder, kernel->pipeline);
  uint32_t index = 0;
  for (int32_t value : immediates) {
    mtl::compute_set_bytes(encoder, &value, sizeof(value), index++);
  }
  for (const TensorArgument &argument : tensors) {
    const MetalTensor *tensor = as_tensor(argument.tensor);
    // An operand the kernel does not reach (count 0) may carry any offset.
    const bool offset_inside = argument.offset >= 0 && argument.offset <= tensor->size;
    mtl::compute_set_buffer(encoder, tensor->buffer,
                            offset_inside ? static_cast<size_t>(argument.offset) : 0, index++);
  }

  const uint64_t width = mtl::pipeline_thread_execution_width(kernel->pipeline);
  const uint64_t most = mtl::pipeline_max_total_threads_per_threadgroup(kernel->pipeline);
  QxStatus status = QX_STATUS_SUCCESS;
  switch (dispatch.grid) {
    case Grid::kThreads: {
      const uint64_t group_width = std::max<uint64_t>(1, std::min(width, most));
      const uint64_t group_height = std::max<uint64_t>(1, std::min(most / group_width, dispatch.y));
      mtl::compute_dispatch_threads(encoder, {dispatch.x, dispatch.y, dispatch.z},
                                    {group_width, group_height, 1});
      break;
    }
    case Grid::kDenseGroups:
      if (width * kDenseOutputsPerGroup > most) {
        QX_ERROR(errors::kMetalEncoder);
        status = QX_STATUS_RUNTIME_ERROR;
        break;
      }
      mtl::compute_dispatch_threadgroups(
          encoder, {(dispatch.x + kDenseOutputsPerGroup - 1) / kDenseOutputsPerGroup, dispatch.y, 1},
          {width, kDenseOutputsPerGroup, 1});
      break;
    case Grid::kRowGroups:
      mtl::compute_dispatch_threadgroups(encoder, {dispatch.x, 1, 1},
                                         {std::min(most, dispatch.y), 1, 1});
      break;
  }
  // Ended even when the dispatch was refused: no encoder outlives its operator.
  mtl::compute_end_encoding(encoder);
  mtl::release(encoder);
  backend->compute_encoder = nullptr;
  metal_count_encoder(backend);
  mtl::autorelease_pool_pop(pool);
  return status;
}

template <typename Encode>
QxStatus encode_blit(void *backend_handle, Encode encode) {
  MetalBackend *backend = as_backend(backend_handle);
  void *pool = mtl::autorelease_pool_push();
  if (!backend->current) backend->current = mtl::queue_command_buffer(backend->queue);
  if (backend->current && !backend->blit_encoder) {
    backend->blit_encoder = mtl::command_buffer_blit_encoder(backend->current);
  }
  if (!backend->current || !backend->blit_encoder) {
    mtl::autorelease_pool_pop(pool);
    QX_ERROR(errors::kMetalDispatch);
    return QX_STATUS_RUNTIME_ERROR;
  }
  encode(backend->blit_encoder);
  mtl::blit_end_encoding(backend->blit_encoder);
  mtl::release(backend->blit_encoder);
  backend->blit_encoder = nullptr;
  metal_count_encoder(backend);
  mtl::autorelease_pool_pop(pool);
  return QX_STATUS_SUCCESS;
}

template <int32_t kBytes>
QxStatus add(void *backend, void *op_handle, const OperandBlock *operands, Opcode opcode) {
  const Immediates immediate(operands, opcode);
  const int32_t count = immediate[0];
  TensorBuffer *out = operands->tensor(0), *a = operands->tensor(1), *b = operands->tensor(2);
  if (!fits(out, immediate[1], count, kBytes) || !fits(a, immediate[2], count, kBytes) ||
      !fits(b, immediate[3], count, kBytes)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (count <= 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {count},
                        {{out, immediate[1]}, {a, immediate[2]}, {b, immediate[3]}},
                        {Grid::kThreads, static_cast<uint64_t>(count), 1, 1});
}

QxStatus add_f32(void *backend, void *op_handle, const OperandBlock *operands) {
  return add<4>(backend, op_handle, operands, kOpAddF32);
}

QxStatus add_i16(void *backend, void *op_handle, const OperandBlock *operands) {
  return add<2>(backend, op_handle, operands, kOpAddI16);
}

QxStatus dense(void *backend, void *op_handle, const OperandBlock *operands, Opcode opcode) {
  const Immediates immediate(operands, opcode);
  const int32_t rows = immediate[0], outputs = immediate[1], inputs = immediate[2];
  const bool empty = rows <= 0 || outputs <= 0 || inputs <= 0;
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1), *w = operands->tensor(2),
               *bias = operands->tensor(3);
  if (!fits(out, immediate[3], empty ? 0 : matrix_elements(rows, outputs), 2) ||
      !fits(x, immediate[4], empty ? 0 : matrix_elements(rows, inputs), 2) ||
      !fits(w, 0, empty ? 0 : matrix_elements(outputs, inputs), 1) ||
      !fits(bias, 0, empty ? 0 : outputs, 1)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (empty) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {outputs, inputs},
                        {{out, immediate[3]}, {x, immediate[4]}, {w, 0}, {bias, 0}},
                        {Grid::kDenseGroups, static_cast<uint64_t>(outputs),
                         static_cast<uint64_t>(rows), 1});
}

QxStatus dense_acc_i8(void *backend, void *op_handle, const OperandBlock *operands) {
  return dense(backend, op_handle, operands, kOpDenseAccI8);
}

QxStatus dense_i8(void *backend, void *op_handle, const OperandBlock *operands) {
  return dense(backend, op_handle, operands, kOpDenseI8);
}

// gelu_f32 and relu_f32: out and x of `count` floats.
QxStatus elementwise_f32(void *backend, void *op_handle, const OperandBlock *operands,
                         Opcode opcode) {
  const Immediates immediate(operands, opcode);
  const int32_t count = immediate[0];
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1);
  if (!fits(out, immediate[1], count, 4) || !fits(x, immediate[2], count, 4)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (count <= 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {count}, {{out, immediate[1]}, {x, immediate[2]}},
                        {Grid::kThreads, static_cast<uint64_t>(count), 1, 1});
}

QxStatus gelu_f32(void *backend, void *op_handle, const OperandBlock *operands) {
  return elementwise_f32(backend, op_handle, operands, kOpGeluF32);
}

QxStatus relu_f32(void *backend, void *op_handle, const OperandBlock *operands) {
  return elementwise_f32(backend, op_handle, operands, kOpReluF32);
}

QxStatus normalize_f32_to_i16(void *backend, void *op_handle, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpNormalizeF32ToI16);
  const int32_t epsilon_bits = immediate[0], rows = immediate[1], columns = immediate[2];
  const int64_t count = matrix_elements(rows, columns);
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1);
  if (!fits(out, 0, count, 2) || !fits(x, 0, count, 4)) return QX_STATUS_INVALID_ARGUMENT;
  if (count == 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {rows, columns, epsilon_bits}, {{out, 0}, {x, 0}},
                        {Grid::kThreads, static_cast<uint64_t>(columns), 1, 1});
}

QxStatus lstm_cell_i16(void *backend, void *op_handle, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpLstmCellI16);
  const int32_t width = immediate[0];
  const int64_t count = width > 0 ? width : 0;
  TensorBuffer *h = operands->tensor(0), *cell = operands->tensor(1), *gates = operands->tensor(2);
  if (!fits(h, immediate[1], count, 2) || !fits(cell, immediate[2], count, 2) ||
      !fits(gates, immediate[3], 3 * count, 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (count == 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {width},
                        {{h, immediate[1]}, {cell, immediate[2]}, {gates, immediate[3]}},
                        {Grid::kThreads, static_cast<uint64_t>(width), 1, 1});
}

QxStatus matmul_f32(void *backend, void *op_handle, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpMatmulF32);
  const int32_t m_rows = immediate[0], n_outputs = immediate[1], k_inputs = immediate[2];
  const int64_t out_count = matrix_elements(m_rows, n_outputs);
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1), *w = operands->tensor(2);
  if (!fits(out, immediate[3], out_count, 4) ||
      !fits(x, immediate[4], out_count ? matrix_elements(m_rows, k_inputs) : 0, 4) ||
      !fits(w, immediate[5], out_count ? matrix_elements(n_outputs, k_inputs) : 0, 4)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (out_count == 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {m_rows, n_outputs, k_inputs},
                        {{out, immediate[3]}, {x, immediate[4]}, {w, immediate[5]}},
                        {Grid::kThreads, 1, static_cast<uint64_t>(m_rows),
                         static_cast<uint64_t>(n_outputs)});
}

QxStatus softmax(void *backend, void *op_handle, const OperandBlock *operands, Opcode opcode,
                 int32_t out_bytes, int32_t x_bytes) {
  const Immediates immediate(operands, opcode);
  const int32_t rows = immediate[0], columns = immediate[1];
  const int64_t count = matrix_elements(rows, columns);
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1);
  if (!fits(out, immediate[2], count, out_bytes) || !fits(x, immediate[3], count, x_bytes)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (count == 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {columns}, {{out, immediate[2]}, {x, immediate[3]}},
                        {Grid::kRowGroups, static_cast<uint64_t>(rows),
                         static_cast<uint64_t>(columns), 1});
}

QxStatus softmax_f32(void *backend, void *op_handle, const OperandBlock *operands) {
  return softmax(backend, op_handle, operands, kOpSoftmaxF32, 4, 4);
}

QxStatus softmax_i16_to_q31(void *backend, void *op_handle, const OperandBlock *operands) {
  return softmax(backend, op_handle, operands, kOpSoftmaxI16ToQ31, 4, 2);
}

QxStatus standardize_i16(void *backend, void *op_handle, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpStandardizeI16);
  const int32_t rows = immediate[0], columns = immediate[1];
  const int64_t count = matrix_elements(rows, columns);
  const int64_t column_count = count ? columns : 0;
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1),
               *shift = operands->tensor(2), *scale = operands->tensor(3);
  if (!fits(out, immediate[2], count, 2) || !fits(x, immediate[3], count, 2) ||
      !fits(shift, 0, column_count, 2) || !fits(scale, 0, column_count, 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (count == 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {rows, columns},
                        {{out, immediate[2]}, {x, immediate[3]}, {shift, 0}, {scale, 0}},
                        {Grid::kThreads, static_cast<uint64_t>(columns),
                         static_cast<uint64_t>(rows), 1});
}

// Zero rows still write zeros to every column.
QxStatus sum_rows_i16_to_f32(void *backend, void *op_handle, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpSumRowsI16ToF32);
  const int32_t rows = immediate[0], columns = immediate[1];
  TensorBuffer *out = operands->tensor(0), *x = operands->tensor(1);
  if (!fits(out, immediate[2], columns > 0 ? columns : 0, 4) ||
      !fits(x, immediate[3], matrix_elements(rows, columns), 2)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (columns <= 0) return QX_STATUS_SUCCESS;
  return encode_compute(backend, op_handle, {rows, columns},
                        {{out, immediate[2]}, {x, immediate[3]}},
                        {Grid::kThreads, static_cast<uint64_t>(columns), 1, 1});
}

bool blit_aligned(int32_t a, int32_t b, int32_t c) { return (a | b | c) % 4 == 0; }

QxStatus copy_bytes(void *backend, void *, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpCopyBytes);
  const int32_t length = immediate[0], destination_offset = immediate[1],
                source_offset = immediate[2];
  TensorBuffer *destination = operands->tensor(0), *source = operands->tensor(1);
  if (!fits(destination, destination_offset, length, 1) ||
      !fits(source, source_offset, length, 1)) {
    return QX_STATUS_INVALID_ARGUMENT;
  }
  if (length <= 0) return QX_STATUS_SUCCESS;
  const bool overlapping = destination == source &&
                           destination_offset < source_offset + length &&
                           source_offset < destination_offset + length;
  if (!blit_aligned(length, destination_offset, source_offset) || overlapping) {
    return QX_STATUS_INVALID_ARGUMENT;  // the reference copies with memmove
  }
  return encode_blit(backend, [&](mtl::BlitEncoder *encoder) {
    mtl::blit_copy(encoder, as_tensor(source)->buffer, static_cast<size_t>(source_offset),
                   as_tensor(destination)->buffer, static_cast<size_t>(destination_offset),
                   static_cast<size_t>(length));
  });
}

QxStatus zero_bytes(void *backend, void *, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpZeroBytes);
  const int32_t length = immediate[0], offset = immediate[1];
  TensorBuffer *destination = operands->tensor(0);
  if (!fits(destination, offset, length, 1)) return QX_STATUS_INVALID_ARGUMENT;
  if (length <= 0) return QX_STATUS_SUCCESS;
  if (!blit_aligned(length, offset, 0)) return QX_STATUS_INVALID_ARGUMENT;
  return encode_blit(backend, [&](mtl::BlitEncoder *encoder) {
    mtl::blit_fill(encoder, as_tensor(destination)->buffer, static_cast<size_t>(offset),
                   static_cast<size_t>(length), 0);
  });
}

}  // namespace

const MetalOpFn kMetalOperators[kOpcodeCount] = {
    add_f32,    add_i16,    dense_acc_i8, dense_i8,    gelu_f32,
    normalize_f32_to_i16,   lstm_cell_i16, matmul_f32, copy_bytes,
    zero_bytes, relu_f32,   softmax_f32,  softmax_i16_to_q31, standardize_i16,
    sum_rows_i16_to_f32,
};

}  // namespace qx
