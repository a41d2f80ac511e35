// The front ends' inner loops, one set per instruction set, chosen once per
// process: x86-64 processors with usable AVX2 get the 256-bit set, every
// other processor and build the portable one. Each set evaluates the same
// float32 expressions, associated the same way, per element, so every set
// returns the portable set's bits for every input.
#pragma once

#include <cstdint>

namespace qx {

struct FrontEndKernels {
  const char *name;  // "portable", "avx2"
  // real_fft_512_with_buffer (frontend/real_fft.h).
  void (*real_fft)(const float *input, float *output, float *work);
};

// The sets this processor can run, the portable one first and the process's
// choice last.
struct FrontEndKernelChoice {
  const FrontEndKernels *sets[2];
  int32_t count;
};
FrontEndKernelChoice usable_front_end_kernels();

// The process's set (the last usable one), unless a test chose another.
const FrontEndKernels &front_end_kernels();

namespace front_end_testing {
// Makes front_end_kernels() return `kernels` until called again; null goes
// back to the process's choice. Not for concurrent use.
void use_kernels(const FrontEndKernels *kernels);
}  // namespace front_end_testing

}  // namespace qx
