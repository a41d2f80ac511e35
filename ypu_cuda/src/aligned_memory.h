// Aligned host allocations that build on both hosts of the library: the
// C runtime on Windows has no posix_memalign, and its aligned blocks must
// go back through _aligned_free, never free.
#pragma once

#include <cstddef>
#include <cstdlib>
#if defined(_WIN32)
#include <malloc.h>
#endif

namespace ypu {

// `bytes` (at least one) aligned to `alignment`, a power of two that is a
// multiple of sizeof(void *); null on failure.
inline void *aligned_alloc_bytes(size_t alignment, size_t bytes) {
  if (bytes == 0) bytes = 1;
#if defined(_WIN32)
  return _aligned_malloc(bytes, alignment);
#else
  void *memory = nullptr;
  return posix_memalign(&memory, alignment, bytes) == 0 ? memory : nullptr;
#endif
}

// Frees what aligned_alloc_bytes returned; null is ignored.
inline void aligned_free(void *memory) {
#if defined(_WIN32)
  _aligned_free(memory);
#else
  std::free(memory);
#endif
}

}  // namespace ypu
