// Which NEON variant each operator prefers over the portable one, each only
// for the lengths its step divides; laid out as x86_kernel_set.cc, one row
// per instruction set. matmul_f32 has no NEON variant.
#include "cpu/arm/arm_kernels.h"
#include "cpu/cpu_backend.h"

namespace qx {
namespace {

template <typename Fn>
struct Stepped {
  Fn kernel;
  uint32_t step;
};

struct IsaVariants {
  uint32_t flags;  // any of these bits selects the row
  Stepped<AddF32Fn> add_f32;
  Stepped<AddI16Fn> add_i16;
  DenseCellsFn dense_rows;
  DensePairsFn dense_pairs;
  LstmFn lstm;
  Stepped<RowsFn> softmax_f32, softmax_i16_to_q31, standardize_i16;
};

// Bit 32 marks a later ARM level, which has NEON as well.
constexpr IsaVariants kIsaVariants[] = {
    {CPU_NEON | 32,
     {add_f32_neon, 4},
     {add_i16_neon, 8},
     dense_cells_neon,
     dense_pairs_neon,
     lstm_cell_i16_neon,
     {softmax_f32_neon, 4},
     {softmax_i16_to_q31_neon, 8},
     {standardize_i16_neon, 8}},
};

}  // namespace

void prefer_arm_kernels(CpuKernelSet *set, uint32_t isa_flags) {
  for (const IsaVariants &isa : kIsaVariants) {
    if (!(isa_flags & isa.flags)) continue;
    set->add_f32.prefer(isa.add_f32.kernel, isa.add_f32.step);
    set->add_i16.prefer(isa.add_i16.kernel, isa.add_i16.step);
    set->dense_rows = isa.dense_rows;
    set->dense_pairs = isa.dense_pairs;
    set->lstm = isa.lstm;
    set->softmax_f32.prefer(isa.softmax_f32.kernel, isa.softmax_f32.step);
    set->softmax_i16_to_q31.prefer(isa.softmax_i16_to_q31.kernel, isa.softmax_i16_to_q31.step);
    set->standardize_i16.prefer(isa.standardize_i16.kernel, isa.standardize_i16.step);
  }
}

}  // namespace qx
