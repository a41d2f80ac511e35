// softmax_i16_to_q31 for SSE4.1.
#include "cpu/x86/simd_sse41.h"
#include "cpu/x86/softmax_i16_to_q31_body.h"
