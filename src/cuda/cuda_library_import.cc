// Windows: qx_orb.dll imports the GPU library qx_ypu_impl_cuda_orb.dll by
// name, so the loader maps it together with the DLL and resolves every
// function before any of ours runs. A missing library (or one lacking a
// function) therefore makes qx_orb.dll itself fail to load; there is no
// CPU-only fallback as with the Linux build's dlopen, and once this code
// runs the library is always there.
#include "cuda/cuda_library.h"

namespace qx {

const CudaLibrary *cuda_library() {
  // Filled at first use: the imports' addresses are read from the import
  // table, so they are not constants the compiler could place statically.
  static const CudaLibrary library = {
      &taabe5,   &taabe248, &taabe197, &taabe258, &taabe200, &taabe261, &taabe212,
      &taabe193, &taabe230, &taabe243, &taabe34,  &taabe3,   &taabe229,
      // device_op for opcodes 0 to 13, in opcode order.
      {&taabe283, &taabe159, &taabe74, &taabe255, &taabe236, &taabe263, &taabe8, &taabe26,
       &taabe202, &taabe91, &taabe282, &taabe254, &taabe120, &taabe64}};
  return &library;
}

// Never consulted: the library cannot be missing while the DLL is loaded.
const char *cuda_library_file() { return "qx_ypu_impl_cuda_orb.dll"; }
const char *cuda_library_problem() { return "it is imported and was not loaded"; }

namespace cuda_testing {
// The import is fixed when the DLL loads; there is nothing to switch to.
void use_library(const char *) {}
}  // namespace cuda_testing

}  // namespace qx
