// The NEON kernel variants of the 32-bit ARM build and the step each needs.
// The build targets ARMv7-A with NEON as a whole, so these need no target
// attributes; only the files of this folder use intrinsics.
#pragma once

#if !defined(__arm__) || !defined(__ARM_NEON)
#error "NEON kernels built for a processor without NEON"
#endif

#include "cpu/kernel_set.h"

namespace qx {

void add_f32_neon(float *out, const float *a, const float *b, uint64_t n);        // n % 4 == 0
void add_i16_neon(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);  // n % 8 == 0

// Any n_in: 8 products per step, then a scalar tail.
void dense_cells_neon(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_pairs_neon(const DenseTask &task, uint64_t item);

// 8 cells per step, then the portable cell for the rest.
void lstm_cell_i16_neon(const LstmTask &task, int32_t begin, int32_t end);

// cols % 4 == 0: the SSE4.1 variant's vector exponential and lane sums.
void softmax_f32_neon(const RowsTask &task, uint64_t begin, uint64_t end);
// cols % 8 == 0.
void softmax_i16_to_q31_neon(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_neon(const RowsTask &task, uint64_t begin, uint64_t end);

// Puts the NEON variants ahead of the portable ones when the feature bits
// allow them.
void prefer_arm_kernels(CpuKernelSet *set, uint32_t isa_flags);

}  // namespace qx
