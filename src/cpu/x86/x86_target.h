// Target attributes of the x86 kernel files. Each vector function is compiled
// for its own instruction set by attribute, never by a file- or build-wide
// flag: inline functions that a file shares with portable code must stay
// baseline x86-64, or the linker could keep a copy that faults on an older
// processor. Only the x86 kernel files include this header.
#pragma once

#if !defined(__x86_64__)
#error "x86 kernels built for a processor that is not x86-64"
#endif

#include <immintrin.h>

#define QX_TARGET_SSE41 __attribute__((target("sse4.1")))
// AVX2 variants may also use fused multiply-add: they run only where both exist.
#define QX_TARGET_AVX2 __attribute__((target("avx2,fma")))
