// Marks the arithmetic helpers that GPU kernels compile from the same
// source as the host code, so both run one definition of each formula.
// Outside a CUDA compilation the mark is empty.
#pragma once

#if defined(__CUDACC__)
#define QX_HOST_DEVICE __host__ __device__
#else
#define QX_HOST_DEVICE
#endif
