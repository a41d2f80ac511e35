// Which x86 variant each operator prefers: AVX2 over SSE4.1 over portable,
// each only for the lengths its steps divide.
#include "cpu/cpu_backend.h"
#include "cpu/x86/x86_kernels.h"

namespace qx {

void prefer_x86_kernels(CpuKernelSet *set, uint32_t isa_flags) {
  if (isa_flags & CPU_SSE4_1) {
    set->add_f32.prefer(add_f32_sse41, 4);
    set->add_i16.prefer(add_i16_sse41, 8);
    set->dense_rows = dense_cells_sse41;
    set->dense_pairs = dense_pairs_sse41;
    set->lstm = lstm_cell_i16_sse41;
    set->softmax_f32.prefer(softmax_f32_sse41, 4);
    set->softmax_i16_to_q31.prefer(softmax_i16_to_q31_sse41, 8);
    set->standardize_i16.prefer(standardize_i16_sse41, 8);
  }
  if (isa_flags & CPU_AVX2) {
    set->add_f32.prefer(add_f32_avx2, 8);
    set->add_i16.prefer(add_i16_avx2, 16);
    set->dense_rows = dense_cells_avx2;
    set->dense_pairs = dense_pairs_avx2;
    set->lstm = lstm_cell_i16_avx2;
    set->matmul.prefer(matmul_f32_avx2_fma, 32);
    set->softmax_f32.prefer(softmax_f32_avx2, 8);
    set->softmax_i16_to_q31.prefer(softmax_i16_to_q31_avx2, 16);
    set->standardize_i16.prefer(standardize_i16_avx2, 16);
  }
}

}  // namespace qx
