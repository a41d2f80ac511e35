#include "base/error_stack.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/allocator.h"
#include "base/error_catalogue.h"
#include "platform/platform.h"

namespace qx {

const char kBuildTag[] = "da6b4f4";

namespace {

struct ErrorEntry {
  const char *source;  // always "" in this library
  int32_t line;        // always 0
  char message[kErrorMessageBytes];
};

struct ThreadErrorSlot {
  // 0 = free. Claimed and released under error_mutex(); a thread finds its
  // own slot through t_own_slot, so nothing scans the owners without the lock.
  std::atomic<platform::ThreadId> owner;
  // Everything below is touched only by the owning thread.
  uint8_t stale;
  int32_t count;
  ErrorEntry entries[kErrorMessagesPerThread];
  char scratch[kErrorDetailBytes];
};

ThreadErrorSlot g_slots[kErrorThreadSlots];

// Claiming slots, the spare set, the copy-out. Never destroyed: threads may
// still push, collect or exit while the process destroys its static objects.
platform::Mutex &error_mutex() {
  alignas(platform::Mutex) static unsigned char storage[sizeof(platform::Mutex)];
  static platform::Mutex *const mutex = new (storage) platform::Mutex();
  return *mutex;
}

// 8 zeroed message buffers ready for the host. Left to the operating system
// at exit, for the same reason as the mutex. Created and taken only under
// error_mutex(); error_stack_reset reads it without the lock, and only to
// see whether it must take the lock to create it, so relaxed loads do.
std::atomic<char **> g_spare{nullptr};

void free_message_set(char **set) {
  if (!set) return;
  for (int i = 0; i < kErrorMessagesPerThread; ++i) heap_free(set[i]);
  heap_free(set);
}

// Caller holds error_mutex().
void create_spare_set_locked() {
  if (g_spare.load(std::memory_order_relaxed)) return;
  auto **set = static_cast<char **>(heap_calloc(kErrorMessagesPerThread, sizeof(char *)));
  if (!set) return;
  for (int i = 0; i < kErrorMessagesPerThread; ++i) {
    set[i] = static_cast<char *>(heap_calloc(kErrorMessageBytes, 1));
    if (!set[i]) {
      free_message_set(set);
      return;
    }
  }
  g_spare.store(set, std::memory_order_relaxed);
}

// Empties a slot; only its owner (or the claimer, under the lock) calls this.
void clear_slot(ThreadErrorSlot *slot) {
  slot->stale = 0;
  slot->count = 0;
  std::memset(slot->entries, 0, sizeof(slot->entries));
  slot->owner.store(0, std::memory_order_release);
}

// The calling thread's slot, remembered so that finding it needs no scan of
// the table: a slot is only ever claimed and released by its own thread, so
// the thread always knows whether it holds one. A plain pointer, so that
// reading it registers nothing with the thread.
thread_local ThreadErrorSlot *t_own_slot = nullptr;

ThreadErrorSlot *find_own_slot() { return t_own_slot; }

// Gives back the slot of a thread that exits without collecting its
// messages, so short-lived threads cannot use up every slot. Written only
// when the thread claims a slot (so only such threads run the destructor),
// and then found by its owner: the MinGW build's threads crashed (under
// wine) once this object was also written when a slot was released.
struct SlotReleaseAtThreadExit {
  bool armed = false;
  ~SlotReleaseAtThreadExit() {
    if (!armed) return;
    const platform::ThreadId self = platform::current_thread_id();
    platform::MutexLock lock(error_mutex());
    for (auto &slot : g_slots) {
      if (slot.owner.load(std::memory_order_relaxed) == self) clear_slot(&slot);
    }
  }
};
thread_local SlotReleaseAtThreadExit t_slot_release;

ThreadErrorSlot *claim_slot() {
  platform::MutexLock lock(error_mutex());
  const platform::ThreadId self = platform::current_thread_id();
  for (auto &slot : g_slots) {
    if (slot.owner.load(std::memory_order_relaxed) == 0) {
      slot.stale = 0;
      slot.count = 0;
      slot.owner.store(self, std::memory_order_release);
      t_own_slot = &slot;
      t_slot_release.armed = true;
      return &slot;
    }
  }
  return nullptr;
}

// The owner gives its slot back after collecting its messages.
void release_own_slot() {
  clear_slot(t_own_slot);
  t_own_slot = nullptr;
}

}  // namespace

void error_push(const char * /*source*/, int32_t /*line*/, const ErrorDescriptor *descriptor,
                ...) {
  ThreadErrorSlot *slot = find_own_slot();
  if (!slot) slot = claim_slot();
  if (!slot) return;  // every slot taken: dropped silently
  if (slot->stale) {
    slot->count = 0;
    std::memset(slot->entries, 0, sizeof(slot->entries));
    slot->stale = 0;
  }
  if (slot->count >= kErrorMessagesPerThread) return;

  ErrorEntry &entry = slot->entries[slot->count];
  entry.source = "";
  entry.line = 0;
  if (descriptor->format) {
    va_list arguments;
    va_start(arguments, descriptor);
    std::vsnprintf(slot->scratch, sizeof(slot->scratch), descriptor->format, arguments);
    va_end(arguments);
    std::snprintf(entry.message, sizeof(entry.message), "%s %08X: %s", kBuildTag,
                  static_cast<unsigned>(descriptor->code), slot->scratch);
    std::memset(slot->scratch, 0, sizeof(slot->scratch));
  } else {
    std::snprintf(entry.message, sizeof(entry.message), "%s %08X: Marlow Error.", kBuildTag,
                  static_cast<unsigned>(descriptor->code));
  }
  slot->count += 1;
}

PrintableText::PrintableText(const char *raw) {
  size_t length = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(raw); *p; ++p) {
    const bool control = *p < 0x20 || *p == 0x7f;
    const size_t needed = control ? 4 : 1;
    if (length + needed >= sizeof(text_)) break;
    if (control) {
      std::snprintf(text_ + length, 5, "\\x%02X", *p);
    } else {
      text_[length] = static_cast<char>(*p);
    }
    length += needed;
  }
  text_[length] = '\0';
}

bool null_argument(const void *pointer, const char *name) {
  if (pointer) return false;
  QX_ERROR(errors::kArgumentNull, name);
  return true;
}

void error_stack_reset() {
  // Runs at every detector step, 64 times a frame, on every engine's
  // thread: once the spare set exists the reset touches only the caller's
  // own slot, so engines on different threads never meet at the lock.
  if (!g_spare.load(std::memory_order_relaxed)) {
    platform::MutexLock lock(error_mutex());
    create_spare_set_locked();
  }
  if (ThreadErrorSlot *slot = find_own_slot()) slot->stale = 1;
}

namespace error_testing {

LockHeld::LockHeld() { error_mutex().lock(); }
LockHeld::~LockHeld() { error_mutex().unlock(); }

}  // namespace error_testing

}  // namespace qx

using namespace qx;

extern "C" QX_API QxStatus qx_get_error_stack(char ***message_stack,
                                              int32_t *message_stack_depth) {
  if (message_stack) *message_stack = nullptr;
  if (message_stack_depth) *message_stack_depth = 0;
  if (!message_stack || !message_stack_depth) return QX_STATUS_INVALID_ARGUMENT;

  ThreadErrorSlot *slot = find_own_slot();
  if (!slot) return QX_STATUS_INVALID_STATE;

  platform::MutexLock lock(error_mutex());
  char **const spare = g_spare.load(std::memory_order_relaxed);
  if (!spare) return QX_STATUS_INVALID_STATE;  // the slot keeps its messages
  for (int i = 0; i < kErrorMessagesPerThread; ++i) {
    std::memset(spare[i], 0, kErrorMessageBytes);
  }
  for (int i = 0; i < slot->count; ++i) {
    std::memcpy(spare[i], slot->entries[i].message, kErrorMessageBytes);
    spare[i][kErrorMessageBytes - 1] = '\0';
  }
  *message_stack_depth = slot->count;
  *message_stack = spare;
  g_spare.store(nullptr, std::memory_order_relaxed);
  release_own_slot();

  create_spare_set_locked();
  return g_spare.load(std::memory_order_relaxed) ? QX_STATUS_SUCCESS : QX_STATUS_OUT_OF_MEMORY;
}

extern "C" QX_API void qx_free_error_stack(char **message_stack) {
  free_message_set(message_stack);
}

extern "C" QX_API void qx_free(void *pointer) { heap_free(pointer); }
