// lstm_cell_i16 for AVX-512 BW: 32 cells per step, table reads by word
// permutations, the last cells in one masked step.
#include "cpu/x86/simd_avx512.h"
#include "cpu/x86/lstm_cell_i16_body.h"
