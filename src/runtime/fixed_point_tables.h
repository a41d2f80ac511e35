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

}  // namespace qx
