// Linux: futexes for the worker pool's sleeping, glibc's processor count.
// The rest of the platform layer is platform_posix.cc.
#include "platform/platform.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <climits>

namespace qx {
namespace platform {

void futex_wait(std::atomic<uint32_t> *word, uint32_t expected) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected,
          nullptr, nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t> *word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, INT32_MAX,
          nullptr, nullptr, 0);
}

int32_t processor_count() {
  int n = get_nprocs_conf();
  return n > 0 ? n : 0;
}

}  // namespace platform
}  // namespace qx
