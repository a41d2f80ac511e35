// The library's one heap allocator. Every allocation of the library goes
// through these functions so that tests can make any chosen allocation fail
// and check that nothing leaks.
#pragma once

#include <cstddef>

namespace qx {

// malloc / calloc semantics; the block may be handed to the host, which
// releases it with free() (through qx_free and the other free functions).
void *heap_malloc(size_t size);
void *heap_calloc(size_t count, size_t size);
void heap_free(void *pointer);

// Aligned blocks for tensors, records and pools; released with aligned_free.
void *aligned_malloc(size_t alignment, size_t size);
void aligned_free(void *pointer);

// Fault injection and accounting for tests.
namespace allocator_testing {
// Makes the Nth allocation from now fail (0 = the next one). With
// `persistent`, every allocation from then on fails too. Negative: off.
void fail_after(long n, bool persistent = false);
// Allocations made since start-up (successful ones only).
long allocation_count();
// Blocks allocated and not yet freed.
long live_blocks();
}  // namespace allocator_testing

}  // namespace qx
