// Which x86 variant each operator prefers: AVX2 over SSE4.1 over portable,
// each only for the lengths its step divides; dense layers AVX-VNNI over
// AVX2, and for long rows AVX-512 (VNNI over BW); single rows of 64 inputs
// or more vpdpbusd over x's bytes where AVX-512 VNNI has it; the lstm cell
// AVX-512 BW over AVX2. One row per instruction set, slowest first, so that
// each later row is preferred to the ones before; an empty entry keeps what
// the earlier rows chose.
#include "cpu/cpu_backend.h"
#include "cpu/x86/x86_kernels.h"

namespace qx {
namespace {

template <typename Fn>
struct Stepped {
  Fn kernel;  // null: no variant for this instruction set
  uint32_t step;
};

struct IsaVariants {
  uint32_t flag;
  Stepped<AddF32Fn> add_f32;
  Stepped<AddI16Fn> add_i16;
  DenseCellsFn dense_rows;
  DensePairsFn dense_pairs;
  DenseCellsFn dense_rows_wide;  // 512 bits, for long rows
  DensePairsFn dense_pairs_wide;
  DensePairsFn dense_pairs_bytes;  // single rows by byte products
  LstmFn lstm;
  Stepped<MatmulFn> matmul;
  Stepped<RowsFn> softmax_f32, softmax_i16_to_q31, standardize_i16;
};

constexpr IsaVariants kIsaVariants[] = {
    {CPU_SSE4_1, {add_f32_sse41, 4}, {add_i16_sse41, 8}, dense_cells_sse41, dense_pairs_sse41,
     nullptr, nullptr, nullptr, lstm_cell_i16_sse41, {nullptr, 0}, {softmax_f32_sse41, 4},
     {softmax_i16_to_q31_sse41, 8}, {standardize_i16_sse41, 8}},
    {CPU_AVX2, {add_f32_avx2, 8}, {add_i16_avx2, 16}, dense_cells_avx2, dense_pairs_avx2, nullptr,
     nullptr, nullptr, lstm_cell_i16_avx2, {matmul_f32_avx2_fma, 32}, {softmax_f32_avx2, 8},
     {softmax_i16_to_q31_avx2, 16}, {standardize_i16_avx2, 16}},
    // Dense layers only: vpdpwssd on 256 bits, then 512 bits for long rows.
    {CPU_AVXVNNI, {}, {}, dense_cells_avxvnni, dense_pairs_avxvnni, nullptr, nullptr, nullptr,
     nullptr, {}, {}, {}, {}},
    {CPU_AVX512BW, {}, {}, nullptr, nullptr, dense_cells_avx512bw, dense_pairs_avx512bw, nullptr,
     lstm_cell_i16_avx512bw, {}, {}, {}, {}},
    {CPU_AVX512VNNI, {}, {}, nullptr, nullptr, dense_cells_avx512vnni, dense_pairs_avx512vnni,
     dense_pairs_avx512vnni_bytes, nullptr, {}, {}, {}, {}},
};

template <typename Fn>
void prefer(VariantList<Fn> *list, Stepped<Fn> variant) {
  if (variant.kernel) list->prefer(variant.kernel, variant.step);
}

}  // namespace

void prefer_x86_kernels(CpuKernelSet *set, uint32_t isa_flags) {
  for (const IsaVariants &isa : kIsaVariants) {
    if (!(isa_flags & isa.flag)) continue;
    prefer(&set->add_f32, isa.add_f32);
    prefer(&set->add_i16, isa.add_i16);
    if (isa.dense_rows) set->dense_rows = isa.dense_rows;
    if (isa.dense_pairs) set->dense_pairs = isa.dense_pairs;
    if (isa.dense_rows_wide) set->dense_rows_wide = isa.dense_rows_wide;
    if (isa.dense_pairs_wide) set->dense_pairs_wide = isa.dense_pairs_wide;
    if (isa.dense_pairs_bytes) set->dense_pairs_bytes = isa.dense_pairs_bytes;
    if (isa.lstm) set->lstm = isa.lstm;
    prefer(&set->matmul, isa.matmul);
    prefer(&set->softmax_f32, isa.softmax_f32);
    prefer(&set->softmax_i16_to_q31, isa.softmax_i16_to_q31);
    prefer(&set->standardize_i16, isa.standardize_i16);
  }
}

}  // namespace qx
