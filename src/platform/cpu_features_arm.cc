// Processor feature bits on 32-bit ARM: the build targets processors with
// NEON, so the bits are fixed rather than detected.
#include "platform/platform.h"

namespace qx {
namespace platform {

uint32_t detect_isa_flags() { return 16; }  // CPU_NEON

}  // namespace platform
}  // namespace qx
