// Processor feature bits from cpuid. Each bit is read on its own; operating
// system support for the wider register state is deliberately not queried.
#include "platform/platform.h"

#include <cpuid.h>

namespace qx {
namespace platform {

uint32_t detect_isa_flags() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid(0, eax, ebx, ecx, edx);
  const unsigned highest_leaf = eax;
  if (highest_leaf == 0) return 0;

  uint32_t flags = 0;
  __cpuid(1, eax, ebx, ecx, edx);
  if (ecx & (1u << 19)) flags |= 1;  // SSE4.1
  if (ecx & (1u << 28)) flags |= 2;  // AVX
  if (highest_leaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (ebx & (1u << 5)) flags |= 4;   // AVX2
    if (ebx & (1u << 16)) flags |= 8;  // AVX-512F
  }
  return flags;
}

bool avx2_fma_usable() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid(0, eax, ebx, ecx, edx);
  if (eax < 7) return false;
  __cpuid(1, eax, ebx, ecx, edx);
  const bool fma = ecx & (1u << 12);
  const bool os_saves_state = ecx & (1u << 27);  // OSXSAVE: xgetbv is available
  if (!fma || !os_saves_state) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  if (!(ebx & (1u << 5))) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  return (xcr0_low & 6u) == 6u;  // SSE and AVX register state both enabled
}

}  // namespace platform
}  // namespace qx
