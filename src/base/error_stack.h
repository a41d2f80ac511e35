// Per-thread error messages and the console channel.
//
// Each failure site pushes one formatted line; each enclosing function that
// fails because of it pushes a trace tag, so a host reads the stack from the
// innermost cause outward. Messages live in static storage (128 thread slots
// of 8 lines): pushing never allocates.
#pragma once

#include <cstdint>

#include "qx_orb.h"

namespace qx {

// One failure site's message: a code and a printf format for the detail text
// (null selects the generic "Marlow Error." line).
struct ErrorDescriptor {
  int32_t code;
  const char *format;
};

constexpr int kErrorThreadSlots = 128;
constexpr int kErrorMessagesPerThread = 8;
constexpr int kErrorMessageBytes = 512;
constexpr int kErrorDetailBytes = 492;
extern const char kBuildTag[];  // heads every message line: "da6b4f4"

// Formats one message onto the calling thread's stack. `source` and `line`
// are accepted for call-site symmetry and not stored.
void error_push(const char *source, int32_t line, const ErrorDescriptor *descriptor, ...);

// `raw` as it may appear inside a message line: control characters written
// as \xNN, so that a caller's string cannot break or forge lines; cut to the
// detail length.
class PrintableText {
 public:
  explicit PrintableText(const char *raw);
  const char *text() const { return text_; }

 private:
  char text_[kErrorDetailBytes];
};

// True, with message 100 ("Argument `name` is NULL.") pushed, when `pointer`
// is null: the first check of every exported entry point.
bool null_argument(const void *pointer, const char *name);

// Marks the calling thread's messages stale: its next push discards them.
// Called first by every exported entry point that may fail.
void error_stack_reset();

// Prints to standard output while the console-log flag is set.
void console_log(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

namespace error_testing {
// Holds the process-wide error lock (slot claims, the spare message set) for
// its lifetime, so that tests can show which calls never wait for it.
class LockHeld {
 public:
  LockHeld();
  ~LockHeld();
  LockHeld(const LockHeld &) = delete;
  LockHeld &operator=(const LockHeld &) = delete;
};
}  // namespace error_testing

}  // namespace qx

#define QX_ERROR(descriptor, ...) ::qx::error_push("", 0, &(descriptor), ##__VA_ARGS__)
// Pushes code 310 with a seven-hex-digit trace tag naming the failing site.
#define QX_TRACE(tag) QX_ERROR(::qx::errors::kTrace, tag)
