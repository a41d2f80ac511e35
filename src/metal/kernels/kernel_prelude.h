// Lets orb_kernels.metal compile both as Metal Shading Language (macOS build,
// into the embedded shader library) and as C++ (the emulator), so the host
// runs the very kernel bodies the GPU runs. Kernel code uses only:
//   qx_i8 ... qx_u64            fixed-width integers
//   QX_KERNEL                   the return type of an entry point
//   QX_DEVICE                   the device address space of a pointer
//   QX_TABLE                    a program-scope constant table
//   QX_BYTES / QX_OUTPUT / QX_INPUT and the three QX_*_POSITION
//                               parameters with their binding index
//   QX_EXP, QX_SQRT, QX_FMAX    single precision, IEEE-exact where the
//                               shader compiler is told -fno-fast-math
//   QX_KERNELS_BEGIN / _END     around all kernels (a namespace in C++)
#pragma once

#if defined(__METAL_VERSION__)

#include <metal_stdlib>

typedef char qx_i8;
typedef short qx_i16;
typedef int qx_i32;
typedef uint qx_u32;
typedef long qx_i64;
typedef ulong qx_u64;

#define QX_KERNEL kernel void
#define QX_DEVICE device
#define QX_TABLE constant
#define QX_BYTES(type, name, index) constant type &name [[buffer(index)]]
#define QX_OUTPUT(type, name, index) device type *name [[buffer(index)]]
#define QX_INPUT(type, name, index) const device type *name [[buffer(index)]]
#define QX_THREAD_POSITION(name) uint3 name [[thread_position_in_grid]]
#define QX_GROUP_POSITION(name) uint3 name [[threadgroup_position_in_grid]]
#define QX_THREAD_IN_GROUP(name) uint3 name [[thread_position_in_threadgroup]]
#define QX_EXP(x) metal::precise::exp(x)
#define QX_SQRT(x) metal::precise::sqrt(x)
#define QX_FMAX(a, b) metal::precise::fmax(a, b)
#define QX_KERNELS_BEGIN
#define QX_KERNELS_END

#else  // C++ for the emulator

#include <cmath>
#include <cstdint>

#include "metal/emulated/emulated_arguments.h"

typedef int8_t qx_i8;
typedef int16_t qx_i16;
typedef int32_t qx_i32;
typedef uint32_t qx_u32;
typedef int64_t qx_i64;
typedef uint64_t qx_u64;

#define QX_KERNEL void
#define QX_DEVICE
#define QX_TABLE constexpr
#define QX_BYTES(type, name, index) ::qx::mtl::emulator::BytesArgument<type, index> name
#define QX_OUTPUT(type, name, index) ::qx::mtl::emulator::BufferArgument<type, index> name
#define QX_INPUT(type, name, index) ::qx::mtl::emulator::BufferArgument<const type, index> name
#define QX_THREAD_POSITION(name) ::qx::mtl::emulator::ThreadInGrid name
#define QX_GROUP_POSITION(name) ::qx::mtl::emulator::GroupInGrid name
#define QX_THREAD_IN_GROUP(name) ::qx::mtl::emulator::ThreadInGroup name
#define QX_EXP(x) std::exp(x)
#define QX_SQRT(x) std::sqrt(x)
#define QX_FMAX(a, b) std::fmax(a, b)
#define QX_KERNELS_BEGIN \
  namespace qx {         \
  namespace metal_kernels {
#define QX_KERNELS_END \
  }                    \
  }

#endif
