// The device-string parser through qx_orb_init: the input, up to its first
// NUL, is the device string; the model is the small golden one. An engine
// that opens classifies one frame on whatever pool the string asked for.
// Every input whose length is a multiple of 4 also lists the devices.
//
// A string that names more than kMaxThreads threads is skipped: the library
// starts as many as it is asked for, by design, and that only measures the
// machine.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr long kMaxThreads = 64;
const char kModel[] = QX_FUZZ_SOURCE_DIR "/tests/golden/plain.qx";

// The number after the first ':' read as the library reads it; inputs whose
// number the library would accept and that exceeds kMaxThreads are skipped.
bool asks_for_too_many_threads(const char *device) {
  const char *colon = std::strchr(device, ':');
  if (!colon) return false;
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(colon + 1, &end, 10);
  const bool parsed = errno == 0 && *end == '\0' && value >= INT32_MIN && value <= INT32_MAX;
  errno = 0;
  return parsed && value > kMaxThreads;
}

void list_devices() {
  char **devices = nullptr;
  int32_t count = -1;
  const QxStatus status = qx_orb_list_hardware_devices(&devices, &count);
  if (status != QX_STATUS_SUCCESS) {
    if (devices || count != 0) qx_fuzz::fail("a failed listing left a list behind", count);
  } else {
    if (count < 0 || (count > 0 && !devices)) qx_fuzz::fail("bad device list", count);
    for (int32_t i = 0; i < count; ++i) {
      if (!devices[i] || std::strlen(devices[i]) == 0) qx_fuzz::fail("empty device entry", 0, i);
    }
  }
  qx_orb_free_hardware_devices(devices, count);
  qx_fuzz::drain_error_stack();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  qx_log_disable();
  QxOrb *orb = nullptr;
  if (qx_orb_init(kModel, "cpu:1", 0.0f, &orb) != QX_STATUS_SUCCESS) {
    std::fprintf(stderr, "qx fuzz: cannot load %s\n", kModel);
    std::exit(2);
  }
  qx_orb_delete(orb);
  qx_fuzz::drain_error_stack();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string device(reinterpret_cast<const char *>(data), size);  // c_str() stops at a NUL
  if (size % 4 == 0) list_devices();
  if (asks_for_too_many_threads(device.c_str())) return 0;

  QxOrb *orb = nullptr;
  const QxStatus status = qx_orb_init(kModel, device.c_str(), 0.0f, &orb);
  if (status != QX_STATUS_SUCCESS) {
    if (orb) qx_fuzz::fail("a failed init handed out an engine", status);
    qx_fuzz::drain_error_stack();
    return 0;
  }
  qx_fuzz::drain_error_stack();
  const QxStatus processed = qx_fuzz::process_and_check(orb, qx_fuzz::loud_frame().data());
  if (processed != QX_STATUS_SUCCESS) qx_fuzz::fail("a frame failed on an opened device", processed);
  qx_orb_delete(orb);
  return 0;
}
