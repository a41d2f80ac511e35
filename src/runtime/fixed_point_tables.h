// Constant tables of the fixed-point activations (generated source).
#pragma once

#include <cstdint>

namespace qx {

// Entry k (k < 256): nearest integer to 32767 * sigmoid(s / 16), s = k for
// k < 128 and k - 256 above; entry 256 = 16384.
extern const int16_t QX_SIGMOID_TABLE[257];
// Entry k: nearest integer to (2^31 - 1) * e^(-k / 1024).
extern const int32_t QX_EXP_LSB_TABLE[128];
// Entry k: nearest integer to (2^31 - 1) * e^(-k / 8).
extern const int32_t QX_EXP_MSB_TABLE[128];

#if defined(__CUDACC__)
// Device code cannot read the host arrays: a CUDA translation unit carries
// copies in constant memory and fills them from the arrays above (with
// cudaMemcpyToSymbol) before its first launch.
static __constant__ int16_t QX_SIGMOID_TABLE_ON_DEVICE[257];
static __constant__ int32_t QX_EXP_LSB_TABLE_ON_DEVICE[128];
static __constant__ int32_t QX_EXP_MSB_TABLE_ON_DEVICE[128];
#endif
#if defined(__CUDA_ARCH__)
#define QX_TABLE(name) name##_ON_DEVICE
#else
#define QX_TABLE(name) name
#endif

}  // namespace qx
