// The x86 kernel variants and the step each needs. Compiled only for x86-64.
#pragma once

#include "cpu/kernel_set.h"

namespace qx {

void add_f32_sse41(float *out, const float *a, const float *b, uint64_t n);        // n % 4 == 0
void add_f32_avx2(float *out, const float *a, const float *b, uint64_t n);         // n % 8 == 0
void add_i16_sse41(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);  // n % 8 == 0
void add_i16_avx2(int16_t *out, const int16_t *a, const int16_t *b, uint64_t n);   // n % 16 == 0

// Any n_in: 8 (SSE4.1) or 16 (AVX2, AVX-VNNI) products per step, then a
// scalar tail; 32 (AVX-512) per step, then one masked step.
void dense_cells_sse41(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_cells_avx2(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_cells_avxvnni(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_cells_avx512bw(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_cells_avx512vnni(const DenseTask &task, uint64_t begin, uint64_t end);
void dense_pairs_sse41(const DenseTask &task, uint64_t item);
void dense_pairs_avx2(const DenseTask &task, uint64_t item);
void dense_pairs_avxvnni(const DenseTask &task, uint64_t item);
void dense_pairs_avx512bw(const DenseTask &task, uint64_t item);
void dense_pairs_avx512vnni(const DenseTask &task, uint64_t item);
// vpdpbusd over the bytes of x; rows of more than 2048 inputs take
// dense_pairs_avx512vnni.
void dense_pairs_avx512vnni_bytes(const DenseTask &task, uint64_t item);

// 8 (SSE4.1) or 16 (AVX2) cells per step, then the portable cell for the rest.
void lstm_cell_i16_sse41(const LstmTask &task, int32_t begin, int32_t end);
void lstm_cell_i16_avx2(const LstmTask &task, int32_t begin, int32_t end);
// 32 (AVX-512 BW) cells per step, then one masked step.
void lstm_cell_i16_avx512bw(const LstmTask &task, int32_t begin, int32_t end);

// k % 32 == 0: four 8-lane accumulators, step t adding elements 32t + 8b + j
// to accumulator b by fused multiply-add; then g = (acc2 + acc3) + (acc0 + acc1),
// h_j = g_(j+4) + g_j and the result (h0 + h1) + (h2 + h3).
void matmul_f32_avx2_fma(const MatmulTask &task, uint64_t begin, uint64_t end);

// cols % 4 == 0 (SSE4.1) or % 8 == 0 (AVX2): the vector exponential.
void softmax_f32_sse41(const RowsTask &task, uint64_t begin, uint64_t end);
void softmax_f32_avx2(const RowsTask &task, uint64_t begin, uint64_t end);
// cols % 8 == 0 (SSE4.1) or % 16 == 0 (AVX2).
void softmax_i16_to_q31_sse41(const RowsTask &task, uint64_t begin, uint64_t end);
void softmax_i16_to_q31_avx2(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_sse41(const RowsTask &task, uint64_t begin, uint64_t end);
void standardize_i16_avx2(const RowsTask &task, uint64_t begin, uint64_t end);

// Puts the variants the feature bits allow ahead of the portable ones.
void prefer_x86_kernels(CpuKernelSet *set, uint32_t isa_flags);

}  // namespace qx
