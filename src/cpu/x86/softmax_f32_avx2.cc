// softmax_f32 for AVX2.
#include "cpu/x86/simd_avx2.h"
#include "cpu/x86/softmax_f32_body.h"
