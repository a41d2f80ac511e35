// The compiled shader library embedded in the library's read-only data and
// handed to Metal unchanged: in the macOS build the .metallib made from
// kernels/orb_kernels.metal at build time (shader_library_data.cc, generated),
// in emulated builds the emulator's marker (its kernels are C++).
#pragma once

#include <cstddef>

namespace qx {
namespace mtl {

extern const unsigned char kShaderLibrary[];
extern const size_t kShaderLibrarySize;

}  // namespace mtl
}  // namespace qx
