// The small launch layer that lets one kernel source build two ways. Under
// nvcc a kernel is a __global__ function launched over a grid; otherwise it
// is an ordinary function that launch() calls once per (block, thread) in
// increasing order, with the same blockIdx / blockDim / threadIdx names
// set for each call. Kernels therefore must not rely on threads running
// together (no shared memory, no barriers): each thread computes whole
// outputs from inputs no other thread writes.
#pragma once

#include <cstdint>

namespace ypu {

constexpr unsigned kThreadsPerBlock = 256;

// Blocks of kThreadsPerBlock that cover `count` threads.
inline unsigned blocks_for(int64_t count) {
  return static_cast<unsigned>((count + kThreadsPerBlock - 1) / kThreadsPerBlock);
}

}  // namespace ypu

#if defined(__CUDACC__)

#define YPU_KERNEL __global__
#define YPU_LAUNCH(kernel, count, ...) \
  kernel<<<::ypu::blocks_for(count), ::ypu::kThreadsPerBlock>>>(__VA_ARGS__)

namespace ypu {
__device__ inline int64_t thread_index() {
  return static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}
}  // namespace ypu

#else

#define YPU_KERNEL
#define YPU_LAUNCH(kernel, count, ...) \
  ::ypu::launch(kernel, ::ypu::blocks_for(count), ::ypu::kThreadsPerBlock, __VA_ARGS__)

namespace ypu {

struct Dim3 {
  unsigned x = 1, y = 1, z = 1;
};
// The emulated thread being run; set by launch() before each call.
extern thread_local Dim3 blockIdx, blockDim, threadIdx, gridDim;

inline int64_t thread_index() {
  return static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

template <typename... Params, typename... Args>
void launch(void (*kernel)(Params...), unsigned blocks, unsigned threads, Args... args) {
  gridDim.x = blocks;
  blockDim.x = threads;
  for (unsigned block = 0; block < blocks; ++block) {
    blockIdx.x = block;
    for (unsigned thread = 0; thread < threads; ++thread) {
      threadIdx.x = thread;
      kernel(args...);
    }
  }
}

}  // namespace ypu

#endif
