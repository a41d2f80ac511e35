// The library's records: one Backend per device handle, one Tensor per
// buffer. Shared by the memory functions (backend.cc) and the operators
// (operators.cc), and read by the library's own tests.
#pragma once

#include <cstdint>

namespace ypu {

// libqx_orb's statuses, as the operation table's slots return them.
constexpr int32_t kSuccess = 0;
constexpr int32_t kNotDone = 3;       // invalid argument: the reference runs instead
constexpr int32_t kDeviceFailed = 7;  // runtime error

// Host <-> device traffic of one backend, for tests and benchmarks.
struct TransferCounts {
  int64_t uploads = 0;    // host -> device copies
  int64_t downloads = 0;  // device -> host copies
  int64_t launches = 0;   // kernels and device copies / fills
};

struct Backend {
  int32_t device_index = 0;
  // Set by the first failed device call: every later operator returns
  // kDeviceFailed instead of computing from memory in an unknown state.
  bool failed = false;
  TransferCounts counts;
};

// A buffer in device memory and its host staging copy of the same size.
// The device copy is the authority; the host copy is `host_current` when
// it equals it (after a download, an upload or a map's write-back) and
// stale once a kernel or device copy wrote the buffer.
struct Tensor {
  int32_t size = 0;
  int32_t flags = 0;  // carried, not interpreted
  unsigned char *device = nullptr;
  unsigned char *host = nullptr;
  int32_t map_depth = 0;     // maps not yet unmapped (one buffer may be mapped twice)
  bool host_current = true;  // both copies start zeroed
  bool write_back = false;   // an unmap with written = 1 happened at this depth
};

// A tensor handle from an operand block (null stays null).
inline Tensor *as_tensor(void *handle) { return static_cast<Tensor *>(handle); }

// Device writes (kernels, copies, fills) make the host copy stale.
inline void device_wrote(Tensor *tensor) { tensor->host_current = false; }

}  // namespace ypu
