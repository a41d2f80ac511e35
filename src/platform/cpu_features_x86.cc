// Processor feature bits from cpuid. Each bit of detect_isa_flags is read on
// its own; operating system support for the wider register state is
// deliberately not queried there, only where a kernel needs it.
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

VectorExtensions vector_extensions_of(const ProcessorIdentity &identity) {
  VectorExtensions usable{false, false, false};
  if (!(identity.leaf1_ecx & (1u << 27))) return usable;  // no xgetbv: no saved state known
  const bool ymm_saved = (identity.xcr0 & 0x6u) == 0x6u;
  const bool zmm_saved = (identity.xcr0 & 0xE6u) == 0xE6u;  // and opmask, both zmm halves
  const bool avx2_fma = (identity.leaf7_ebx & (1u << 5)) && (identity.leaf1_ecx & (1u << 12));
  usable.avx_vnni = ymm_saved && avx2_fma && (identity.leaf7_1_eax & (1u << 4));
  const uint32_t bmi2_f_bw_vl = (1u << 8) | (1u << 16) | (1u << 30) | (1u << 31);
  usable.avx512_bw =
      zmm_saved && avx2_fma && (identity.leaf7_ebx & bmi2_f_bw_vl) == bmi2_f_bw_vl;
  usable.avx512_vnni = usable.avx512_bw && (identity.leaf7_ecx & (1u << 11));
  return usable;
}

VectorExtensions vector_extensions_usable() {
  ProcessorIdentity identity{};
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid(0, eax, ebx, ecx, edx);
  if (eax < 7) return {false, false, false};
  __cpuid(1, eax, ebx, ecx, edx);
  identity.leaf1_ecx = ecx;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  identity.leaf7_ebx = ebx;
  identity.leaf7_ecx = ecx;
  if (eax >= 1) {  // sub-leaves of leaf 7 beyond 0
    __cpuid_count(7, 1, eax, ebx, ecx, edx);
    identity.leaf7_1_eax = eax;
  }
  if (identity.leaf1_ecx & (1u << 27)) {
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    identity.xcr0 = (uint64_t{xcr0_high} << 32) | xcr0_low;
  }
  return vector_extensions_of(identity);
}

}  // namespace platform
}  // namespace qx
