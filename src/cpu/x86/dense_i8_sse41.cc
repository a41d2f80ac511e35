// dense_i8 and dense_acc_i8 for SSE4.1.
#include "cpu/x86/simd_sse41.h"
#include "cpu/x86/dense_i8_body.h"
