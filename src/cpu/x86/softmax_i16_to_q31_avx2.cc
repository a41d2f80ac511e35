// softmax_i16_to_q31 for AVX2.
#include "cpu/x86/simd_avx2.h"
#include "cpu/x86/softmax_i16_to_q31_body.h"
