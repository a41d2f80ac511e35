// The CPU's own kernels: the device_op entries of device type 0 for nine
// operators. Every other operator, and every call a wrapper declines with
// status 3, runs the reference operator instead.
//
// A wrapper reads its operands straight from the CPU tensor records and
// declines whatever the reference operator would treat specially or refuse:
// empty or negative shapes, missing tensors, offsets that are negative,
// misaligned or out of bounds. It also declines outputs that partly overlap
// an input, where the reference's element-by-element order would show
// through (an output that is exactly an input is fine for the element-wise
// operators). Then it plans items and picks one of the backend's variants
// (kernel_plan.h), fills a task
// record on its stack and runs the items.
#include "cpu/kernel_plan.h"
#include "runtime/operation_table.h"
#include "runtime/reference/operand_access.h"

namespace qx {
namespace {

constexpr QxStatus kDecline = QX_STATUS_INVALID_ARGUMENT;  // the reference runs instead

// Where `count` elements of T lie, `offset` bytes into tensor operand
// `index`, or null where the reference would refuse them. count > 0.
template <typename T>
T *operand(const OperandBlock *operands, int index, int64_t offset, int64_t count) {
  TensorBuffer *tensor = operands->tensor(index);
  if (!tensor || !tensor->data ||
      !extent_fits(tensor->size, offset, count, static_cast<int32_t>(sizeof(T)))) {
    return nullptr;
  }
  return reinterpret_cast<T *>(static_cast<unsigned char *>(tensor->data) + offset);
}

// Whether `count_a` elements at a and `count_b` elements at b share a byte.
template <typename A, typename B>
bool overlap(const A *a, int64_t count_a, const B *b, int64_t count_b) {
  const auto a_begin = reinterpret_cast<uintptr_t>(a);
  const auto b_begin = reinterpret_cast<uintptr_t>(b);
  return a_begin < b_begin + static_cast<uint64_t>(count_b) * sizeof(B) &&
         b_begin < a_begin + static_cast<uint64_t>(count_a) * sizeof(A);
}

template <typename A, typename B>
bool same_or_apart(const A *a, int64_t count_a, const B *b, int64_t count_b) {
  return static_cast<const void *>(a) == static_cast<const void *>(b) ||
         !overlap(a, count_a, b, count_b);
}

const CpuBackend *cpu(void *backend) { return static_cast<const CpuBackend *>(backend); }

// ---- add_f32, add_i16 --------------------------------------------------------------------------

template <typename T>
void add_item(const void *task_record, uint64_t item) {
  const auto &task = *static_cast<const AddTask *>(task_record);
  const uint64_t begin = share_begin(task.count, task.items, item);
  const uint64_t length = share_begin(task.count, task.items, item + 1) - begin;
  T *out = static_cast<T *>(task.out) + begin;
  const T *a = static_cast<const T *>(task.a) + begin;
  const T *b = static_cast<const T *>(task.b) + begin;
  if constexpr (sizeof(T) == 4) {
    task.kernels->add_f32.for_length(length)(out, a, b, length);
  } else {
    task.kernels->add_i16.for_length(length)(out, a, b, length);
  }
}

template <typename T>
QxStatus add(void *backend, const OperandBlock *operands, Opcode opcode) {
  const Immediates immediate(operands, opcode);
  const int32_t count = immediate[0];
  if (!backend || count <= 0) return kDecline;
  T *out = operand<T>(operands, 0, immediate[1], count);
  const T *a = operand<T>(operands, 1, immediate[2], count);
  const T *b = operand<T>(operands, 2, immediate[3], count);
  if (!out || !a || !b || !same_or_apart(out, count, a, count) ||
      !same_or_apart(out, count, b, count)) {
    return kDecline;
  }
  const KernelThreads threads = kernel_threads(*cpu(backend), static_cast<uint64_t>(count));
  const AddTask task{out,
                     a,
                     b,
                     static_cast<uint64_t>(count),
                     add_item_count(threads, static_cast<uint64_t>(count)),
                     &cpu(backend)->kernels};
  run_kernel_items(*cpu(backend), threads, add_item<T>, &task, task.items);
  return QX_STATUS_SUCCESS;
}

QxStatus cpu_add_f32(void *backend, void *, const OperandBlock *operands) {
  return add<float>(backend, operands, kOpAddF32);
}

QxStatus cpu_add_i16(void *backend, void *, const OperandBlock *operands) {
  return add<int16_t>(backend, operands, kOpAddI16);
}

// ---- dense_i8, dense_acc_i8 --------------------------------------------------------------------

void dense_item(const void *task_record, uint64_t item) {
  const auto &task = *static_cast<const DenseTask *>(task_record);
  if (task.pairs) {
    task.pairs(task, item);
    return;
  }
  const uint64_t cells = static_cast<uint64_t>(task.rows) * static_cast<uint64_t>(task.n_out);
  task.cells(task, share_begin(cells, task.items, item), share_begin(cells, task.items, item + 1));
}

QxStatus dense(void *backend, const OperandBlock *operands, Opcode opcode) {
  const Immediates immediate(operands, opcode);
  const int32_t rows = immediate[0];
  const int32_t n_out = immediate[1];
  const int32_t n_in = immediate[2];
  if (!backend || rows <= 0 || n_out <= 0 || n_in <= 0) return kDecline;
  const int64_t cells = int64_t{rows} * n_out;
  const int64_t inputs = int64_t{rows} * n_in;
  const int64_t weights = int64_t{n_out} * n_in;
  int16_t *out = operand<int16_t>(operands, 0, immediate[3], cells);
  const int16_t *x = operand<int16_t>(operands, 1, immediate[4], inputs);
  const int8_t *w = operand<int8_t>(operands, 2, 0, weights);
  const int8_t *bias = operand<int8_t>(operands, 3, 0, n_out);
  if (!out || !x || !w || !bias || overlap(out, cells, x, inputs) ||
      overlap(out, cells, w, weights) || overlap(out, cells, bias, n_out)) {
    return kDecline;
  }
  const bool accumulate = opcode == kOpDenseAccI8;
  const KernelThreads threads =
      kernel_threads(*cpu(backend), static_cast<uint64_t>(cells) * static_cast<uint64_t>(n_in));
  const DensePlan plan =
      plan_dense(threads, cpu(backend)->kernels, rows, n_out, n_in, accumulate);
  const DenseTask task{out,  x,          w,          bias,       rows,      n_out,
                       n_in, accumulate, plan.items, plan.cells, plan.pairs};
  run_kernel_items(*cpu(backend), threads, dense_item, &task, task.items);
  return QX_STATUS_SUCCESS;
}

QxStatus cpu_dense_acc_i8(void *backend, void *, const OperandBlock *operands) {
  return dense(backend, operands, kOpDenseAccI8);
}

QxStatus cpu_dense_i8(void *backend, void *, const OperandBlock *operands) {
  return dense(backend, operands, kOpDenseI8);
}

// ---- lstm_cell_i16
// -------------------------------------------------------------------------------

// A cell costs four table interpolations and a few products: about as much
// as 64 multiply-accumulates of a dense layer.
constexpr uint64_t kLstmCellWork = 64;

void lstm_item(const void *task_record, uint64_t item) {
  const auto &task = *static_cast<const LstmTask *>(task_record);
  int32_t begin = 0;
  int32_t end = task.n;
  if (task.items > 1) {
    begin = static_cast<int32_t>(item) * kLstmItemCells;
    end = task.n - begin < kLstmItemCells ? task.n : begin + kLstmItemCells;
  }
  task.kernel(task, begin, end);
}

QxStatus cpu_lstm_cell_i16(void *backend, void *, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpLstmCellI16);
  const int32_t n = immediate[0];
  if (!backend || n <= 0) return kDecline;
  const int64_t gate_count = 3 * int64_t{n};
  int16_t *h = operand<int16_t>(operands, 0, immediate[1], n);
  int16_t *cell = operand<int16_t>(operands, 1, immediate[2], n);
  const int16_t *gates = operand<int16_t>(operands, 2, immediate[3], gate_count);
  // Each cell reads its own gate, cell and h positions before writing its
  // cell and h, so only shifted overlaps would see other cells' results.
  if (!h || !cell || !gates || !same_or_apart(h, n, cell, n) ||
      !same_or_apart(h, n, gates, gate_count) || !same_or_apart(cell, n, gates, gate_count)) {
    return kDecline;
  }
  const KernelThreads threads = kernel_threads(*cpu(backend), kLstmCellWork * n);
  const LstmTask task{
      h, cell, gates, n, lstm_item_count(threads, n), cpu(backend)->kernels.lstm};
  run_kernel_items(*cpu(backend), threads, lstm_item, &task, task.items);
  return QX_STATUS_SUCCESS;
}

// ---- matmul_f32
// ------------------------------------------------------------------------------------

void matmul_item(const void *task_record, uint64_t item) {
  const auto &task = *static_cast<const MatmulTask *>(task_record);
  const uint64_t cells = static_cast<uint64_t>(task.m) * static_cast<uint64_t>(task.n);
  task.kernel(task, share_begin(cells, task.items, item), share_begin(cells, task.items, item + 1));
}

QxStatus cpu_matmul_f32(void *backend, void *, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpMatmulF32);
  const int32_t m = immediate[0];
  const int32_t n = immediate[1];
  const int32_t k = immediate[2];
  if (!backend || m <= 0 || n <= 0 || k <= 0) return kDecline;  // k <= 0: the reference's zeros
  const int64_t cells = int64_t{m} * n;
  const int64_t inputs = int64_t{m} * k;
  const int64_t weights = int64_t{n} * k;
  float *out = operand<float>(operands, 0, immediate[3], cells);
  const float *x = operand<float>(operands, 1, immediate[4], inputs);
  const float *w = operand<float>(operands, 2, immediate[5], weights);
  if (!out || !x || !w || overlap(out, cells, x, inputs) || overlap(out, cells, w, weights)) {
    return kDecline;
  }
  const KernelThreads threads =
      kernel_threads(*cpu(backend), static_cast<uint64_t>(cells) * static_cast<uint64_t>(k));
  const MatmulPlan plan = plan_matmul(threads, cpu(backend)->kernels, m, n, k);
  const MatmulTask task{out, x, w, m, n, k, plan.items, plan.kernel};
  run_kernel_items(*cpu(backend), threads, matmul_item, &task, task.items);
  return QX_STATUS_SUCCESS;
}

// ---- softmax_f32, softmax_i16_to_q31, standardize_i16
// ------------------------------------------------

void rows_item(const void *task_record, uint64_t item) {
  const auto &task = *static_cast<const RowsTask *>(task_record);
  const auto rows = static_cast<uint64_t>(task.rows);
  task.kernel(task, share_begin(rows, task.items, item), share_begin(rows, task.items, item + 1));
}

// An exponential and a few operations per element.
constexpr uint64_t kSoftmaxElementWork = 16;

using RowsPlanFn = RowsPlan (*)(KernelThreads threads, const CpuKernelSet &kernels, int32_t rows,
                                int32_t cols);

// A row softmax from In to Out. Outputs as wide as the inputs may be the
// inputs themselves; wider ones may not touch them at all, since any overlap
// would feed results back.
template <typename Out, typename In>
QxStatus softmax_rows(void *backend, const OperandBlock *operands, Opcode opcode,
                      RowsPlanFn plan_rows) {
  const Immediates immediate(operands, opcode);
  const int32_t rows = immediate[0];
  const int32_t cols = immediate[1];
  if (!backend || rows <= 0 || cols <= 0) return kDecline;
  const int64_t count = int64_t{rows} * cols;
  Out *out = operand<Out>(operands, 0, immediate[2], count);
  const In *x = operand<In>(operands, 1, immediate[3], count);
  if (!out || !x) return kDecline;
  const bool apart = sizeof(Out) == sizeof(In) ? same_or_apart(out, count, x, count)
                                               : !overlap(out, count, x, count);
  if (!apart) return kDecline;
  const KernelThreads threads =
      kernel_threads(*cpu(backend), kSoftmaxElementWork * static_cast<uint64_t>(count));
  const RowsPlan plan = plan_rows(threads, cpu(backend)->kernels, rows, cols);
  const RowsTask task{out, x, nullptr, nullptr, rows, cols, plan.items, plan.kernel};
  run_kernel_items(*cpu(backend), threads, rows_item, &task, task.items);
  return QX_STATUS_SUCCESS;
}

QxStatus cpu_softmax_f32(void *backend, void *, const OperandBlock *operands) {
  return softmax_rows<float, float>(backend, operands, kOpSoftmaxF32, plan_softmax_f32);
}

QxStatus cpu_softmax_i16_to_q31(void *backend, void *, const OperandBlock *operands) {
  return softmax_rows<int32_t, int16_t>(backend, operands, kOpSoftmaxI16ToQ31,
                                        plan_softmax_i16_to_q31);
}

QxStatus cpu_standardize_i16(void *backend, void *, const OperandBlock *operands) {
  const Immediates immediate(operands, kOpStandardizeI16);
  const int32_t rows = immediate[0];
  const int32_t cols = immediate[1];
  if (!backend || rows <= 0 || cols <= 0) return kDecline;
  const int64_t count = int64_t{rows} * cols;
  int16_t *out = operand<int16_t>(operands, 0, immediate[2], count);
  const int16_t *x = operand<int16_t>(operands, 1, immediate[3], count);
  const int16_t *shift = operand<int16_t>(operands, 2, 0, cols);
  const int16_t *scale = operand<int16_t>(operands, 3, 0, cols);
  if (!out || !x || !shift || !scale || !same_or_apart(out, count, x, count) ||
      overlap(out, count, shift, cols) || overlap(out, count, scale, cols)) {
    return kDecline;
  }
  const KernelThreads threads = kernel_threads(*cpu(backend), static_cast<uint64_t>(count));
  const RowsPlan plan =
      plan_standardize_i16(threads, cpu(backend)->kernels, rows, cols);
  const RowsTask task{out, x, shift, scale, rows, cols, plan.items, plan.kernel};
  run_kernel_items(*cpu(backend), threads, rows_item, &task, task.items);
  return QX_STATUS_SUCCESS;
}

}  // namespace

void register_cpu_kernels(OperationTable &table) {
  // Rows are opcodes, the column is the CPU; op_init stays empty (no handles).
  table.device_op[kOpAddF32][kDeviceCpu] = cpu_add_f32;
  table.device_op[kOpAddI16][kDeviceCpu] = cpu_add_i16;
  table.device_op[kOpDenseAccI8][kDeviceCpu] = cpu_dense_acc_i8;
  table.device_op[kOpDenseI8][kDeviceCpu] = cpu_dense_i8;
  table.device_op[kOpLstmCellI16][kDeviceCpu] = cpu_lstm_cell_i16;
  table.device_op[kOpMatmulF32][kDeviceCpu] = cpu_matmul_f32;
  table.device_op[kOpSoftmaxF32][kDeviceCpu] = cpu_softmax_f32;
  table.device_op[kOpSoftmaxI16ToQ31][kDeviceCpu] = cpu_softmax_i16_to_q31;
  table.device_op[kOpStandardizeI16][kDeviceCpu] = cpu_standardize_i16;
}

}  // namespace qx
