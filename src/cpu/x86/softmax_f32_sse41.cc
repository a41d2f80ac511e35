// softmax_f32 for SSE4.1.
#include "cpu/x86/simd_sse41.h"
#include "cpu/x86/softmax_f32_body.h"
