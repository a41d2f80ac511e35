// Device strings: "best", or an optional type ("cpu", "gpu" or any leading
// part of them, the empty one included) followed optionally by ':' and a
// decimal number (thread count for the CPU, device index for a GPU).
#pragma once

#include "qx_orb.h"

namespace qx {

struct DeviceContext;

// Turns a device string into a new context holding one reference. "best"
// opens `preferred`, then "cpu". On failure *context is left untouched.
QxStatus open_device(const char *device, const char *preferred, DeviceContext **context);

}  // namespace qx
