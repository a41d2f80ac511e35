#include "qx_orb.h"

namespace {
const char *const kStatusTexts[] = {
    "SUCCESS",     "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
    "STOP_ITERATION", "KEY_ERROR",  "INVALID_STATE", "RUNTIME_ERROR",
};
constexpr unsigned kStatusCount = sizeof(kStatusTexts) / sizeof(kStatusTexts[0]);
static_assert(kStatusCount == QX_STATUS_RUNTIME_ERROR + 1, "one text per status");
}  // namespace

extern "C" QX_API const char *qx_status_to_string(QxStatus status) {
  // Compared as unsigned so that negative values are out of range too.
  const auto index = static_cast<uint32_t>(status);
  return index < kStatusCount ? kStatusTexts[index] : nullptr;
}
