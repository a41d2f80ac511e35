// What a kernel parameter is when the kernels are compiled as C++ for the
// emulator: each parameter type knows the binding it declares (kind and
// index, checked at dispatch) and how to read its value from one invocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {
namespace mtl {
namespace emulator {

constexpr int kMaxBufferBindings = 31;  // Metal's buffer argument table

enum class BindingKind : uint8_t { kNone, kBuffer, kBytes };

// One argument-table entry at execution time.
struct Binding {
  BindingKind kind;
  unsigned char *address;  // buffer contents + offset, or the bytes copy
  size_t length;           // bytes from address to the end
};

struct Uint3 {
  uint32_t x, y, z;
};

// One thread of one dispatch.
struct Invocation {
  const Binding *bindings;  // kMaxBufferBindings entries
  Uint3 thread_in_grid;
  Uint3 group_in_grid;
  Uint3 thread_in_group;
};

enum class ArgumentKind : uint8_t { kBuffer, kBytes, kPosition };
struct ArgumentSpec {
  ArgumentKind kind;
  int index;           // buffer index; -1 for thread positions
  size_t value_bytes;  // bytes the kernel reads at least (setBytes length)
};

// `device T *name [[buffer(Index)]]`: converts to the pointer.
template <typename T, int Index>
struct BufferArgument {
  static_assert(Index >= 0 && Index < kMaxBufferBindings, "buffer index beyond the table");
  static constexpr ArgumentSpec spec() { return {ArgumentKind::kBuffer, Index, sizeof(T)}; }
  static BufferArgument from(const Invocation &invocation) {
    return {reinterpret_cast<T *>(invocation.bindings[Index].address)};
  }
  T *pointer;
  operator T *() const { return pointer; }
};

// `constant T &name [[buffer(Index)]]` bound with setBytes: converts to the value.
template <typename T, int Index>
struct BytesArgument {
  static_assert(Index >= 0 && Index < kMaxBufferBindings, "buffer index beyond the table");
  static constexpr ArgumentSpec spec() { return {ArgumentKind::kBytes, Index, sizeof(T)}; }
  static BytesArgument from(const Invocation &invocation) {
    BytesArgument argument;
    const unsigned char *bytes = invocation.bindings[Index].address;
    unsigned char *target = reinterpret_cast<unsigned char *>(&argument.value);
    for (size_t i = 0; i < sizeof(T); ++i) target[i] = bytes[i];
    return argument;
  }
  T value;
  operator T() const { return value; }
};

// `uint3 name [[thread_position_in_grid]]` and its two siblings.
struct ThreadInGrid : Uint3 {
  static constexpr ArgumentSpec spec() { return {ArgumentKind::kPosition, -1, 0}; }
  static ThreadInGrid from(const Invocation &invocation) { return {invocation.thread_in_grid}; }
};
struct GroupInGrid : Uint3 {
  static constexpr ArgumentSpec spec() { return {ArgumentKind::kPosition, -1, 0}; }
  static GroupInGrid from(const Invocation &invocation) { return {invocation.group_in_grid}; }
};
struct ThreadInGroup : Uint3 {
  static constexpr ArgumentSpec spec() { return {ArgumentKind::kPosition, -1, 0}; }
  static ThreadInGroup from(const Invocation &invocation) { return {invocation.thread_in_group}; }
};

// A kernel function with its declared arguments, type-erased for the table.
struct KernelEntry {
  const char *name;
  void (*function)();
  void (*run)(void (*function)(), const Invocation &invocation);
  const ArgumentSpec *arguments;
  int argument_count;
};

template <typename... Args>
void run_kernel(void (*function)(), const Invocation &invocation) {
  reinterpret_cast<void (*)(Args...)>(function)(Args::from(invocation)...);
}

template <typename... Args>
KernelEntry make_kernel_entry(const char *name, void (*function)(Args...)) {
  static const ArgumentSpec kArguments[] = {Args::spec()...};
  return {name, reinterpret_cast<void (*)()>(function), run_kernel<Args...>, kArguments,
          static_cast<int>(sizeof...(Args))};
}

// The kernels of kernels/orb_kernels.metal by name; null for other names.
const KernelEntry *find_kernel(const char *name);

}  // namespace emulator
}  // namespace mtl
}  // namespace qx
