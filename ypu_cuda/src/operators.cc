// The device kernels behind opcodes 0 to 13: each reads its operand block,
// checks every extent exactly as the reference operator does, and launches
// its kernel on the device copies. Anything the kernels would compute
// differently from the reference's element-by-element loop (overlapping
// operands other than the in-place forms the reference allows) returns
// kNotDone, and libqx_orb runs the reference operator instead.
#include <cstring>

#include "backend.h"
#include "gpu_runtime.h"
#include "kernels.h"
#include "qx_ypu_impl_cuda_orb.h"
#include "runtime/opcodes.h"
#include "runtime/reference/operand_access.h"

namespace ypu {
namespace {

using qx::OperandBlock;

// One tensor operand: `count` elements of `element_bytes` from byte `offset`.
struct Operand {
  Tensor *tensor;
  int64_t offset;
  int64_t count;
  int32_t element_bytes;

  bool fits() const {
    return tensor && qx::extent_fits(tensor->size, offset, count, element_bytes);
  }
  int64_t end() const { return offset + (count > 0 ? count * element_bytes : 0); }
  template <typename T>
  T *at() const {
    return reinterpret_cast<T *>(tensor->device + offset);
  }
};

Operand operand(const OperandBlock *block, int index, int64_t offset, int64_t count,
                int32_t element_bytes) {
  return Operand{as_tensor(block->tensor(index)), offset, count, element_bytes};
}

bool overlap(const Operand &a, const Operand &b) {
  return a.tensor == b.tensor && a.count > 0 && b.count > 0 && a.offset < b.end() &&
         b.offset < a.end();
}
// Element-wise operators may run in place: the very same elements, or none.
bool same_or_apart(const Operand &out, const Operand &in) {
  return !overlap(out, in) || (out.offset == in.offset && out.element_bytes == in.element_bytes);
}

// After a launch: the outputs' host copies are stale.
int32_t launched(Backend *backend, bool accepted, Tensor *output, Tensor *second_output = nullptr) {
  if (!accepted) {
    backend->failed = true;
    return kDeviceFailed;
  }
  ++backend->counts.launches;
  device_wrote(output);
  if (second_output) device_wrote(second_output);
  return kSuccess;
}

template <typename T>
int32_t add(Backend *backend, const OperandBlock *block, qx::Opcode opcode) {
  const qx::Immediates immediate(block, opcode);
  const int32_t count = immediate[0];
  const Operand out = operand(block, 0, immediate[1], count, sizeof(T));
  const Operand a = operand(block, 1, immediate[2], count, sizeof(T));
  const Operand b = operand(block, 2, immediate[3], count, sizeof(T));
  if (!out.fits() || !a.fits() || !b.fits() || !same_or_apart(out, a) || !same_or_apart(out, b)) {
    return kNotDone;
  }
  if (count <= 0) return kSuccess;
  if constexpr (sizeof(T) == 4) {
    return launched(backend, launch_add_f32(out.at<float>(), a.at<float>(), b.at<float>(), count),
                    out.tensor);
  } else {
    return launched(backend,
                    launch_add_i16(out.at<int16_t>(), a.at<int16_t>(), b.at<int16_t>(), count),
                    out.tensor);
  }
}

int32_t dense(Backend *backend, const OperandBlock *block, qx::Opcode opcode, bool accumulate) {
  const qx::Immediates immediate(block, opcode);
  const int32_t rows = immediate[0];
  const int32_t outputs = immediate[1];
  const int32_t inputs = immediate[2];
  const bool empty = rows <= 0 || outputs <= 0 || inputs <= 0;
  const Operand out =
      operand(block, 0, immediate[3], empty ? 0 : qx::matrix_elements(rows, outputs), 2);
  const Operand x =
      operand(block, 1, immediate[4], empty ? 0 : qx::matrix_elements(rows, inputs), 2);
  const Operand w = operand(block, 2, 0, empty ? 0 : qx::matrix_elements(outputs, inputs), 1);
  const Operand bias = operand(block, 3, 0, empty ? 0 : outputs, 1);
  if (!out.fits() || !x.fits() || !w.fits() || !bias.fits() || overlap(out, x) || overlap(out, w) ||
      overlap(out, bias)) {
    return kNotDone;
  }
  if (empty) return kSuccess;
  return launched(backend,
                  launch_dense_i8(out.at<int16_t>(), x.at<int16_t>(), w.at<int8_t>(),
                                  bias.at<int8_t>(), rows, outputs, inputs, accumulate),
                  out.tensor);
}

template <bool (*Launch)(float *, const float *, int64_t)>
int32_t float_elements(Backend *backend, const OperandBlock *block, qx::Opcode opcode) {
  const qx::Immediates immediate(block, opcode);
  const int32_t count = immediate[0];
  const Operand out = operand(block, 0, immediate[1], count, 4);
  const Operand x = operand(block, 1, immediate[2], count, 4);
  if (!out.fits() || !x.fits() || !same_or_apart(out, x)) return kNotDone;
  if (count <= 0) return kSuccess;
  return launched(backend, Launch(out.at<float>(), x.at<float>(), count), out.tensor);
}

int32_t normalize_f32_to_i16(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpNormalizeF32ToI16);
  const int32_t epsilon_bits = immediate[0];
  const int32_t rows = immediate[1];
  const int32_t columns = immediate[2];
  const int64_t count = qx::matrix_elements(rows, columns);
  const Operand out = operand(block, 0, 0, count, 2);
  const Operand x = operand(block, 1, 0, count, 4);
  if (!out.fits() || !x.fits() || overlap(out, x)) return kNotDone;
  if (count == 0) return kSuccess;
  float epsilon;
  std::memcpy(&epsilon, &epsilon_bits, sizeof(epsilon));
  return launched(
      backend,
      launch_normalize_f32_to_i16(out.at<int16_t>(), x.at<float>(), rows, columns, epsilon),
      out.tensor);
}

int32_t lstm_cell_i16(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpLstmCellI16);
  const int32_t width = immediate[0];
  const int64_t count = width > 0 ? width : 0;
  const Operand h = operand(block, 0, immediate[1], count, 2);
  const Operand cell = operand(block, 1, immediate[2], count, 2);
  const Operand gates = operand(block, 2, immediate[3], 3 * count, 2);
  // h and the cell may share a tensor, but not elements.
  if (!h.fits() || !cell.fits() || !gates.fits() || overlap(h, cell) || overlap(h, gates) ||
      overlap(cell, gates)) {
    return kNotDone;
  }
  if (count == 0) return kSuccess;
  return launched(
      backend,
      launch_lstm_cell_i16(h.at<int16_t>(), cell.at<int16_t>(), gates.at<int16_t>(), width),
      h.tensor, cell.tensor);
}

int32_t matmul_f32(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpMatmulF32);
  const int32_t m_rows = immediate[0];
  const int32_t n_outputs = immediate[1];
  const int32_t k_inputs = immediate[2];
  const int64_t out_count = qx::matrix_elements(m_rows, n_outputs);
  const Operand out = operand(block, 0, immediate[3], out_count, 4);
  const Operand x =
      operand(block, 1, immediate[4], out_count ? qx::matrix_elements(m_rows, k_inputs) : 0, 4);
  const Operand w =
      operand(block, 2, immediate[5], out_count ? qx::matrix_elements(n_outputs, k_inputs) : 0, 4);
  if (!out.fits() || !x.fits() || !w.fits() || overlap(out, x) || overlap(out, w)) {
    return kNotDone;
  }
  if (out_count == 0) return kSuccess;
  const bool has_inputs = k_inputs > 0;  // otherwise x and w may be empty tensors
  return launched(backend,
                  launch_matmul_f32(out.at<float>(), has_inputs ? x.at<float>() : nullptr,
                                    has_inputs ? w.at<float>() : nullptr, m_rows, n_outputs,
                                    has_inputs ? k_inputs : 0),
                  out.tensor);
}

int32_t copy_bytes(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpCopyBytes);
  const int32_t length = immediate[0];
  const Operand destination = operand(block, 0, immediate[1], length, 1);
  const Operand source = operand(block, 1, immediate[2], length, 1);
  // Overlapping ranges need the reference's memmove.
  if (!destination.fits() || !source.fits() || overlap(destination, source)) return kNotDone;
  if (length <= 0) return kSuccess;
  return launched(backend,
                  copy_on_device(destination.at<unsigned char>(), source.at<unsigned char>(),
                                 static_cast<size_t>(length)),
                  destination.tensor);
}

int32_t zero_bytes(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpZeroBytes);
  const int32_t length = immediate[0];
  const Operand destination = operand(block, 0, immediate[1], length, 1);
  if (!destination.fits()) return kNotDone;
  if (length <= 0) return kSuccess;
  return launched(backend,
                  zero_on_device(destination.at<unsigned char>(), static_cast<size_t>(length)),
                  destination.tensor);
}

int32_t softmax_f32(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpSoftmaxF32);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int64_t count = qx::matrix_elements(rows, columns);
  const Operand out = operand(block, 0, immediate[2], count, 4);
  const Operand x = operand(block, 1, immediate[3], count, 4);
  if (!out.fits() || !x.fits() || !same_or_apart(out, x)) return kNotDone;
  if (count == 0) return kSuccess;
  return launched(backend, launch_softmax_f32(out.at<float>(), x.at<float>(), rows, columns),
                  out.tensor);
}

int32_t softmax_i16_to_q31(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpSoftmaxI16ToQ31);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int64_t count = qx::matrix_elements(rows, columns);
  const Operand out = operand(block, 0, immediate[2], count, 4);
  const Operand x = operand(block, 1, immediate[3], count, 2);
  if (!out.fits() || !x.fits() || overlap(out, x)) return kNotDone;
  if (count == 0) return kSuccess;
  return launched(backend,
                  launch_softmax_i16_to_q31(out.at<int32_t>(), x.at<int16_t>(), rows, columns),
                  out.tensor);
}

int32_t standardize_i16(Backend *backend, const OperandBlock *block) {
  const qx::Immediates immediate(block, qx::kOpStandardizeI16);
  const int32_t rows = immediate[0];
  const int32_t columns = immediate[1];
  const int64_t count = qx::matrix_elements(rows, columns);
  const int64_t column_count = count ? columns : 0;
  const Operand out = operand(block, 0, immediate[2], count, 2);
  const Operand x = operand(block, 1, immediate[3], count, 2);
  const Operand shift = operand(block, 2, 0, column_count, 2);
  const Operand scale = operand(block, 3, 0, column_count, 2);
  if (!out.fits() || !x.fits() || !shift.fits() || !scale.fits() || !same_or_apart(out, x) ||
      overlap(out, shift) || overlap(out, scale)) {
    return kNotDone;
  }
  if (count == 0) return kSuccess;
  return launched(backend,
                  launch_standardize_i16(out.at<int16_t>(), x.at<int16_t>(), shift.at<int16_t>(),
                                         scale.at<int16_t>(), rows, columns),
                  out.tensor);
}

// Every operator entry: a usable backend and block, a device that has not
// failed, and the backend's device current on this thread.
template <typename Run>
int32_t run(void *handle, const void *operands, Run body) {
  auto *backend = static_cast<Backend *>(handle);
  if (!backend || !operands) return kNotDone;
  if (backend->failed) return kDeviceFailed;
  if (!use_device(backend->device_index)) {
    backend->failed = true;
    return kDeviceFailed;
  }
  return body(backend, static_cast<const OperandBlock *>(operands));
}

}  // namespace
}  // namespace ypu

using qx::OperandBlock;
using ypu::Backend;

extern "C" {

QX_YPU_API int32_t taabe283(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, [](Backend *b, const OperandBlock *block) {
    return ypu::add<float>(b, block, qx::kOpAddF32);
  });
}
QX_YPU_API int32_t taabe159(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, [](Backend *b, const OperandBlock *block) {
    return ypu::add<int16_t>(b, block, qx::kOpAddI16);
  });
}
QX_YPU_API int32_t taabe74(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, [](Backend *b, const OperandBlock *block) {
    return ypu::dense(b, block, qx::kOpDenseAccI8, true);
  });
}
QX_YPU_API int32_t taabe255(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, [](Backend *b, const OperandBlock *block) {
    return ypu::dense(b, block, qx::kOpDenseI8, false);
  });
}
QX_YPU_API int32_t taabe236(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, [](Backend *b, const OperandBlock *block) {
    return ypu::float_elements<ypu::launch_gelu_f32>(b, block, qx::kOpGeluF32);
  });
}
QX_YPU_API int32_t taabe263(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::normalize_f32_to_i16);
}
QX_YPU_API int32_t taabe8(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::lstm_cell_i16);
}
QX_YPU_API int32_t taabe26(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::matmul_f32);
}
QX_YPU_API int32_t taabe202(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::copy_bytes);
}
QX_YPU_API int32_t taabe91(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::zero_bytes);
}
QX_YPU_API int32_t taabe282(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, [](Backend *b, const OperandBlock *block) {
    return ypu::float_elements<ypu::launch_relu_f32>(b, block, qx::kOpReluF32);
  });
}
QX_YPU_API int32_t taabe254(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::softmax_f32);
}
QX_YPU_API int32_t taabe120(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::softmax_i16_to_q31);
}
QX_YPU_API int32_t taabe64(void *backend, void *, const void *operands) {
  return ypu::run(backend, operands, ypu::standardize_i16);
}

}  // extern "C"
