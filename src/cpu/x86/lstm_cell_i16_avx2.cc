// lstm_cell_i16 for AVX2.
#include "cpu/x86/simd_avx2.h"
#include "cpu/x86/lstm_cell_i16_body.h"
