// The kernel variants one CPU backend runs, chosen once when it is created
// from its processor's feature bits: per operator the instruction sets'
// variants, fastest first, and the portable variant last. An operator call
// then only checks its shape against each variant's step.
#pragma once

#include <cstdint>

#include "cpu/kernels/kernel_tasks.h"

#if defined(__x86_64__)
#define QX_X86_KERNELS 1  // this build has the x86 variants (cpu/x86/)
#elif defined(__arm__)
#define QX_ARM_KERNELS 1  // this build has the NEON variants (cpu/arm/)
#endif

namespace qx {

// One operator's variants, fastest first. A variant runs lengths (elements,
// columns or inputs, as the operator says) that are multiples of its step;
// the last one, the portable variant, runs any length.
template <typename Fn>
struct VariantList {
  static constexpr int kCapacity = 4;
  struct Variant {
    Fn kernel;
    uint32_t step;
  };
  Variant variants[kCapacity];
  int count;

  static VariantList portable(Fn kernel) { return {{{kernel, 1}}, 1}; }

  // Puts `kernel` first. Called once per instruction set, slowest first.
  void prefer(Fn kernel, uint32_t step) {
    if (count == kCapacity) return;  // never: one variant per instruction set
    for (int i = count; i > 0; --i) variants[i] = variants[i - 1];
    variants[0] = {kernel, step};
    ++count;
  }

  Fn for_length(uint64_t length) const {
    for (int i = 0; i + 1 < count; ++i) {
      if (length % variants[i].step == 0) return variants[i].kernel;
    }
    return variants[count - 1].kernel;
  }
};

struct CpuKernelSet {
  VariantList<AddF32Fn> add_f32;  // by an item's element count
  VariantList<AddI16Fn> add_i16;
  DenseCellsFn dense_rows;   // dense layers of more than one row
  DensePairsFn dense_pairs;  // single rows; null: the portable cell kernel
  // The same on 512 bits, for rows of kDenseWideMinInputs inputs or more
  // (kernel_plan.h); both null where the processor has no such variant.
  DenseCellsFn dense_rows_wide;
  DensePairsFn dense_pairs_wide;
  // Single rows of kDenseBytesMinInputs inputs or more by vpdpbusd over the
  // bytes of x; null where the processor has no such variant.
  DensePairsFn dense_pairs_bytes;
  LstmFn lstm;
  VariantList<MatmulFn> matmul;  // by k
  VariantList<RowsFn> softmax_f32;  // by columns
  VariantList<RowsFn> softmax_i16_to_q31;
  VariantList<RowsFn> standardize_i16;
};

// The feature bits the kernels may use: the processor's, less AVX2 where its
// variants (which also use FMA and 256-bit registers) cannot run, plus the
// kernel-only bits (CPU_AVXVNNI with AVX2, CPU_AVX512BW and CPU_AVX512VNNI
// with AVX-512F) where the processor and operating system run them. On
// 32-bit ARM all of them: the build itself requires NEON.
uint32_t usable_isa_flags(uint32_t isa_flags);

// The variants for feature bits `isa_flags` (CPU_* bits, already usable).
CpuKernelSet cpu_kernel_set(uint32_t isa_flags);

}  // namespace qx
