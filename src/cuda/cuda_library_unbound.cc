// Windows: the DLL is to import the GPU library by name. Until that import
// is built, the binding finds no library, so "gpu" fails with a message
// that says so and the device list holds the CPU alone.
#include "cuda/cuda_library.h"

namespace qx {

const CudaLibrary *cuda_library() { return nullptr; }

const char *cuda_library_file() { return "qx_ypu_impl_cuda_orb.dll"; }
const char *cuda_library_problem() { return "this build does not import it yet"; }

namespace cuda_testing {
void use_library(const char *) {}
}  // namespace cuda_testing

}  // namespace qx
