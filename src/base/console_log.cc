#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/error_stack.h"
#include "platform/platform.h"

namespace qx {
namespace {
// A process-wide switch; relaxed atomics keep it a plain byte store.
std::atomic<bool> g_console_enabled{true};
}  // namespace

void console_log(const char *format, ...) {
  if (!g_console_enabled.load(std::memory_order_relaxed)) return;
  platform::console_prepare();
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
}

}  // namespace qx

extern "C" QX_API void qx_log_enable(void) {
  qx::g_console_enabled.store(true, std::memory_order_relaxed);
}

extern "C" QX_API void qx_log_disable(void) {
  qx::g_console_enabled.store(false, std::memory_order_relaxed);
}
