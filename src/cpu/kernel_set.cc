#include "cpu/kernel_set.h"

#include "cpu/cpu_backend.h"
#include "platform/platform.h"

#if defined(QX_X86_KERNELS)
#include "cpu/x86/x86_kernels.h"
#elif defined(QX_ARM_KERNELS)
#include "cpu/arm/arm_kernels.h"
#endif

namespace qx {

uint32_t usable_isa_flags(uint32_t isa_flags) {
#if defined(QX_X86_KERNELS)
  static const bool avx2_usable = platform::avx2_fma_usable();
  static const platform::VectorExtensions wider = platform::vector_extensions_usable();
  uint32_t usable = avx2_usable ? isa_flags : isa_flags & ~CPU_AVX2;
  if (usable & CPU_AVX2) usable |= wider.avx_vnni ? CPU_AVXVNNI : 0;
  if (isa_flags & CPU_AVX512F) {
    usable |= (wider.avx512_bw ? CPU_AVX512BW : 0) | (wider.avx512_vnni ? CPU_AVX512VNNI : 0);
  }
  return usable;
#elif defined(QX_ARM_KERNELS)
  return isa_flags;
#else
  (void)isa_flags;
  return 0;  // no vector kernels in this build
#endif
}

CpuKernelSet cpu_kernel_set(uint32_t isa_flags) {
  CpuKernelSet set{};
  set.add_f32 = VariantList<AddF32Fn>::portable(add_f32_portable);
  set.add_i16 = VariantList<AddI16Fn>::portable(add_i16_portable);
  set.dense_rows = dense_cells_portable;
  set.dense_pairs = nullptr;
  set.dense_rows_wide = nullptr;
  set.dense_pairs_wide = nullptr;
  set.dense_pairs_bytes = nullptr;
  set.lstm = lstm_cell_i16_portable;
  set.matmul = VariantList<MatmulFn>::portable(matmul_f32_portable);
  set.softmax_f32 = VariantList<RowsFn>::portable(softmax_f32_portable);
  set.softmax_i16_to_q31 = VariantList<RowsFn>::portable(softmax_i16_to_q31_portable);
  set.standardize_i16 = VariantList<RowsFn>::portable(standardize_i16_portable);
#if defined(QX_X86_KERNELS)
  prefer_x86_kernels(&set, isa_flags);
#elif defined(QX_ARM_KERNELS)
  prefer_arm_kernels(&set, isa_flags);
#else
  (void)isa_flags;
#endif
  return set;
}

}  // namespace qx
