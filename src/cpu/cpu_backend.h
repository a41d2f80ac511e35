// The CPU device: its backend record, its column of the operation table and
// its entry in the device list.
#pragma once

#include <cstdint>

#include "cpu/kernel_set.h"
#include "qx_orb.h"

namespace qx {

struct ThreadPool;

// Processor feature bits of CpuBackend::isa_flags.
constexpr uint32_t CPU_SSE4_1 = 1;
constexpr uint32_t CPU_AVX = 2;
constexpr uint32_t CPU_AVX2 = 4;
constexpr uint32_t CPU_AVX512F = 8;
constexpr uint32_t CPU_NEON = 16;
// Bits that only kernel choice reads, never stored in isa_flags (which holds
// the processor's identification bits alone): usable_isa_flags adds each
// where both the processor and the operating system run its variants.
constexpr uint32_t CPU_AVXVNNI = 1u << 8;     // vpdpwssd on 256 bits (VEX)
constexpr uint32_t CPU_AVX512BW = 1u << 9;    // AVX-512 F, BW and VL
constexpr uint32_t CPU_AVX512VNNI = 1u << 10;  // the same with AVX-512 VNNI

struct CpuBackend {
  int32_t thread_count;  // threads per operator, caller included; below 2: single-threaded
  uint32_t isa_flags;    // CPU_* bits of the processor
  ThreadPool *pool;      // only when thread_count >= 2
  CpuKernelSet kernels;  // chosen from the usable isa_flags at creation
};

// Makes the backend record; OUT_OF_MEMORY or RUNTIME_ERROR (worker threads)
// on failure, with nothing left behind.
QxStatus cpu_backend_create(int32_t thread_count, CpuBackend **backend);
// The destroy_backend slot: frees the record, then stops its pool. Null ok.
void cpu_backend_destroy(void *backend);

// The list_devices / free_device_list slots: one entry,
// "cpu:[0-N] - CPU (N threads)" with N logical processors.
QxStatus cpu_list_devices(char ***devices, int32_t *count);
void cpu_free_device_list(char **devices, int32_t count);

}  // namespace qx
