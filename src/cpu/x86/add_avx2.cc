// add_f32 and add_i16 for AVX2.
#include "cpu/x86/simd_avx2.h"
#include "cpu/x86/add_body.h"
