// The GPU library's functions as the binding calls them. How they are
// reached is per platform: on Linux the library is loaded at run time
// (cuda_library_dlopen.cc), so libqx_orb runs on the CPU without it; the
// Windows build imports it by name instead.
#pragma once

#include "qx_ypu_impl_cuda_orb.h"
#include "runtime/opcodes.h"

namespace qx {

constexpr int kCudaOpcodeCount = 14;  // opcodes 0-13; 14 has no GPU kernel

struct CudaLibrary {
  decltype(&taabe5) create_backend;
  decltype(&taabe248) destroy_backend;
  decltype(&taabe197) host_alloc;
  decltype(&taabe258) host_free;
  decltype(&taabe200) tensor_alloc;
  decltype(&taabe261) tensor_free;
  decltype(&taabe212) upload;
  decltype(&taabe193) download;
  decltype(&taabe230) map;
  decltype(&taabe243) unmap;
  decltype(&taabe34) tensor_size;
  decltype(&taabe3) list_devices;
  decltype(&taabe229) free_device_list;
  decltype(&taabe283) device_op[kCudaOpcodeCount];  // all share one type
};

// The library, loaded on first use; null when it cannot be. Thread-safe.
const CudaLibrary *cuda_library();

// Why the last load failed: the file tried and the loader's reason.
const char *cuda_library_file();
const char *cuda_library_problem();

namespace cuda_testing {
// Loads from `path` from now on (null: the default search) and forgets the
// library loaded so far. Only while no GPU context exists. Does nothing in
// the Windows build, whose library is imported when the DLL loads.
void use_library(const char *path);
}  // namespace cuda_testing

}  // namespace qx
