// standardize_i16 for SSE4.1.
#include "cpu/x86/simd_sse41.h"
#include "cpu/x86/standardize_i16_body.h"
