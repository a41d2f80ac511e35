// The portable set of front-end loops (see front_end_kernels.h for what each
// computes): plain scalar code, the definition every other set must match.
#pragma once

#include <cstdint>

namespace qx {

void real_fft_512_portable(const float *input, float *output, float *work);

}  // namespace qx
