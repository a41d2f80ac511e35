// The graph interpreter on fuzzed programs: the input is a program of
// little-endian int32 words over a fixed tensor set, run from word 0 to the
// last whole word.
//
// The set: tensors 0-19 are the voice detector's (its sizes, its trained
// constants in 8-19), so its program is a meaningful seed; then tensors of
// assorted sizes, odd ones included; the last entry is null. Every input
// starts from the same contents.
//
// Two copies of the set run side by side: one on a two-thread CPU context
// (the kernels), one on a single-thread context that runs only the reference
// operators. The whole program runs once on the kernel copy; then both
// copies run it an instruction at a time. For the operators whose kernels
// must match the reference bit for bit, an instruction over distinct tensors
// must give both copies the same status and the same bytes; a difference is
// a finding. After each instruction the reference copy takes the kernel
// copy's bytes of that instruction's tensors, so one float difference does
// not spread to later comparisons.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/error_stack.h"
#include "devices/device_selection.h"
#include "frontend/vad_network.h"
#include "runtime/device_context.h"
#include "runtime/graph_interpreter.h"
#include "runtime/opcodes.h"

#include "fuzz_support.h"

namespace {

using qx::TensorBuffer;

// Beyond the detector's tensors: empty, odd, unaligned-length and larger ones.
constexpr int32_t kExtraSizes[] = {0, 1, 2, 3, 6, 8, 36, 64, 250, 1024, 4000};
constexpr int32_t kExtraCount = sizeof(kExtraSizes) / sizeof(kExtraSizes[0]);
constexpr int32_t kTensorCount = qx::kVadTensorCount + kExtraCount + 1;  // + a null entry

// Kernels and references agree bit for bit on these (tests/cpu_kernels_test.cc);
// the rest run no kernel, so both copies run the same reference.
bool compared(int32_t opcode) {
  switch (opcode) {
    case qx::kOpAddF32:
    case qx::kOpAddI16:
    case qx::kOpDenseAccI8:
    case qx::kOpDenseI8:
    case qx::kOpLstmCellI16:
    case qx::kOpCopyBytes:
    case qx::kOpZeroBytes:
    case qx::kOpSoftmaxI16ToQ31:
    case qx::kOpStandardizeI16:
    case qx::kOpSumRowsI16ToF32:
      return true;
    default:
      return false;
  }
}

struct TensorSet {
  qx::DeviceContext *context = nullptr;
  std::vector<TensorBuffer *> tensors;
};

struct Fixture {
  TensorSet kernel, reference;
  std::vector<std::vector<uint8_t>> initial;  // contents per tensor

  Fixture() {
    if (qx::open_device("cpu:2", "cpu:2", &kernel.context) != QX_STATUS_SUCCESS ||
        qx::open_device("cpu:1", "cpu:1", &reference.context) != QX_STATUS_SUCCESS) {
      std::fprintf(stderr, "qx fuzz: cannot open the CPU contexts\n");
      std::exit(2);
    }
    reference.context->flags = qx::kContextReferenceOnly;
    uint32_t state = 12345;
    for (int32_t t = 0; t + 1 < kTensorCount; ++t) {
      std::vector<uint8_t> bytes;
      if (t < qx::kVadTensorCount) {
        const TensorBuffer &record = qx::QX_VAD_PARAMETERS[t];
        bytes.resize(static_cast<size_t>(record.size));
        if (record.data) std::memcpy(bytes.data(), record.data, bytes.size());
      } else {
        bytes.resize(static_cast<size_t>(kExtraSizes[t - qx::kVadTensorCount]));
      }
      if (t >= qx::kVadTensorCount || !qx::QX_VAD_PARAMETERS[t].data) {
        // Small values mostly, so that the arithmetic stays away from
        // saturation, with some full-range bytes.
        for (uint8_t &b : bytes) {
          state = state * 1664525u + 1013904223u;
          b = static_cast<uint8_t>((state >> 24) % 7 == 0 ? state >> 16 : (state >> 16) % 5);
        }
      }
      initial.push_back(bytes);
    }
    for (TensorSet *set : {&kernel, &reference}) {
      for (const std::vector<uint8_t> &bytes : initial) {
        TensorBuffer *tensor =
            qx::tensor_alloc(set->context, static_cast<int32_t>(bytes.size()), 0);
        if (!tensor) {
          std::fprintf(stderr, "qx fuzz: cannot allocate tensors\n");
          std::exit(2);
        }
        set->tensors.push_back(tensor);
      }
      set->tensors.push_back(nullptr);
    }
  }

  ~Fixture() {
    for (TensorSet *set : {&kernel, &reference}) {
      for (TensorBuffer *tensor : set->tensors) {
        if (tensor) qx::tensor_free(set->context, tensor);
      }
      qx::release_device_context(set->context);
    }
  }
  Fixture(const Fixture &) = delete;
  Fixture &operator=(const Fixture &) = delete;

  void restore(TensorSet *set) const {
    for (size_t t = 0; t < initial.size(); ++t) {
      if (!initial[t].empty()) std::memcpy(set->tensors[t]->data, initial[t].data(), initial[t].size());
    }
  }
};

void drain() {
  qx_fuzz::drain_error_stack();
  qx::error_stack_reset();  // a run_program failure is no entry point: mark the stack stale
}

QxStatus run(const TensorSet &set, const std::vector<int32_t> &program, int32_t start,
             int32_t end) {
  const QxStatus status = qx::run_program(set.context, set.tensors.data(), kTensorCount,
                                          program.data(), start, end);
  drain();
  return status;
}

bool valid_index(int32_t index) { return index >= 0 && index < kTensorCount - 1; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  qx_log_disable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Fixture fixture;
  const int32_t words = static_cast<int32_t>(size / sizeof(int32_t));
  std::vector<int32_t> program(static_cast<size_t>(words));
  if (words > 0) std::memcpy(program.data(), data, program.size() * sizeof(int32_t));

  fixture.restore(&fixture.kernel);
  run(fixture.kernel, program, 0, words);

  fixture.restore(&fixture.kernel);
  fixture.restore(&fixture.reference);
  int32_t p = 0;
  while (p < words) {
    const int32_t opcode = program[static_cast<size_t>(p)];
    if (opcode < 0 || opcode >= qx::kOpcodeTableSize) {
      if (run(fixture.kernel, program, p, words) != QX_STATUS_INVALID_ARGUMENT) {
        qx_fuzz::fail("a bad opcode word was not refused", opcode, p);
      }
      break;
    }
    const qx::OpcodeDescriptor &descriptor = qx::kOpcodeDescriptors[opcode];
    const int32_t next = p + 1 + descriptor.tensor_count + descriptor.immediate_count;
    if (next > words) {
      if (run(fixture.kernel, program, p, words) != QX_STATUS_INVALID_ARGUMENT) {
        qx_fuzz::fail("a truncated instruction was not refused", opcode, p);
      }
      break;
    }
    const QxStatus kernel_status = run(fixture.kernel, program, p, next);
    const QxStatus reference_status = run(fixture.reference, program, p, next);

    bool operands_valid = true, distinct = true;
    for (int32_t i = 0; i < descriptor.tensor_count; ++i) {
      const int32_t index = program[static_cast<size_t>(p + 1 + i)];
      if (!valid_index(index)) operands_valid = false;
      for (int32_t j = 0; j < i; ++j) {
        if (program[static_cast<size_t>(p + 1 + j)] == index) distinct = false;
      }
    }
    if (operands_valid && distinct && compared(opcode)) {
      if (kernel_status != reference_status) {
        std::fprintf(stderr, "opcode %d at word %d: kernel status %d, reference status %d\n",
                     opcode, p, kernel_status, reference_status);
        qx_fuzz::fail("kernel and reference statuses differ", opcode, p);
      }
      for (int32_t i = 0; i < descriptor.tensor_count; ++i) {
        const int32_t index = program[static_cast<size_t>(p + 1 + i)];
        const TensorBuffer *a = fixture.kernel.tensors[static_cast<size_t>(index)];
        const TensorBuffer *b = fixture.reference.tensors[static_cast<size_t>(index)];
        if (a->size > 0 && std::memcmp(a->data, b->data, static_cast<size_t>(a->size)) != 0) {
          std::fprintf(stderr, "opcode %d at word %d: operand %d (tensor %d) differs\n", opcode,
                       p, i, index);
          qx_fuzz::fail("kernel and reference results differ", opcode, p);
        }
      }
    }
    if (operands_valid) {
      for (int32_t i = 0; i < descriptor.tensor_count; ++i) {
        const size_t index = static_cast<size_t>(program[static_cast<size_t>(p + 1 + i)]);
        const TensorBuffer *a = fixture.kernel.tensors[index];
        if (a->size > 0) {
          std::memcpy(fixture.reference.tensors[index]->data, a->data, static_cast<size_t>(a->size));
        }
      }
    }
    p = next;
  }
  return 0;
}
