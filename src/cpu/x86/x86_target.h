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
// AVX-VNNI: the VEX-encoded vpdpwssd on 256-bit registers, beside AVX2.
#define QX_TARGET_AVXVNNI __attribute__((target("avx2,fma,avxvnni")))
// AVX-512 variants use 512-bit registers with masks (F, BW), 256-bit masked
// loads (VL), and the AVX2 and BMI2 instructions every such processor has.
#define QX_TARGET_AVX512BW __attribute__((target("avx2,fma,bmi2,avx512f,avx512bw,avx512vl")))
#define QX_TARGET_AVX512VNNI \
  __attribute__((target("avx2,fma,bmi2,avx512f,avx512bw,avx512vl,avx512vnni")))
