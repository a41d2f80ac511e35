// dense_i8 and dense_acc_i8 for AVX-VNNI: vpdpwssd on 256 bits.
#define QX_SIMD_VNNI 1
#include "cpu/x86/simd_avx2.h"
#include "cpu/x86/dense_i8_body.h"
