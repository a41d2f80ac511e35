// Linux: the GPU library is opened at run time, first by name (the usual
// dlopen search: LD_LIBRARY_PATH, the cache, the system directories), then
// beside the object holding libqx_orb. Every function must be present, or
// the library counts as missing and "gpu" names the absent symbol.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "cuda/cuda_library.h"

namespace qx {
namespace {

constexpr char kLibraryName[] = "libqx_ypu_impl_cuda_orb.so";
// The device_op symbols for opcodes 0 to 13, in opcode order.
constexpr const char *kOperatorSymbols[kCudaOpcodeCount] = {
    "taabe283", "taabe159", "taabe74", "taabe255", "taabe236", "taabe263", "taabe8",
    "taabe26",  "taabe202", "taabe91", "taabe282", "taabe254", "taabe120", "taabe64"};

struct Loader {
  // Every slot call reads `ready`; the mutex only orders loading and the
  // tests' reloading. `ready` is published after `library` is complete.
  std::atomic<const CudaLibrary *> ready{nullptr};
  std::mutex mutex;
  void *handle = nullptr;
  CudaLibrary library{};
  bool tried = false;
  char path[1024] = "";  // empty: the default search
  char file[1024] = "";
  char problem[512] = "";
};

Loader &loader() {
  static Loader instance;
  return instance;
}

void remember(Loader &state, const char *file, const char *problem) {
  std::snprintf(state.file, sizeof(state.file), "%s", file);
  std::snprintf(state.problem, sizeof(state.problem), "%s", problem ? problem : "unknown error");
}

// The directory of the object this function lives in, plus the name.
bool path_beside_this_object(char *path, size_t size) {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void *>(&path_beside_this_object), &info) || !info.dli_fname) {
    return false;
  }
  const char *slash = std::strrchr(info.dli_fname, '/');
  if (!slash) return false;
  const int written = std::snprintf(path, size, "%.*s/%s", static_cast<int>(slash - info.dli_fname),
                                    info.dli_fname, kLibraryName);
  return written > 0 && static_cast<size_t>(written) < size;
}

void *open_library(Loader &state) {
  if (state.path[0]) {
    void *handle = dlopen(state.path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) remember(state, state.path, dlerror());
    return handle;
  }
  void *handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (handle) return handle;
  remember(state, kLibraryName, dlerror());
  char beside[1024];
  if (path_beside_this_object(beside, sizeof(beside))) {
    handle = dlopen(beside, RTLD_NOW | RTLD_LOCAL);
    // The first reason is kept: "not found" on the search path says more.
  }
  return handle;
}

template <typename Fn>
bool bind(Loader &state, Fn *slot, const char *symbol) {
  *slot = reinterpret_cast<Fn>(dlsym(state.handle, symbol));
  if (*slot) return true;
  char problem[128];
  std::snprintf(problem, sizeof(problem), "the library lacks %s", symbol);
  remember(state, state.path[0] ? state.path : kLibraryName, problem);
  return false;
}

bool bind_all(Loader &state) {
  CudaLibrary &l = state.library;
  bool ok = bind(state, &l.create_backend, "taabe5") &&
            bind(state, &l.destroy_backend, "taabe248") && bind(state, &l.host_alloc, "taabe197") &&
            bind(state, &l.host_free, "taabe258") && bind(state, &l.tensor_alloc, "taabe200") &&
            bind(state, &l.tensor_free, "taabe261") && bind(state, &l.upload, "taabe212") &&
            bind(state, &l.download, "taabe193") && bind(state, &l.map, "taabe230") &&
            bind(state, &l.unmap, "taabe243") && bind(state, &l.tensor_size, "taabe34") &&
            bind(state, &l.list_devices, "taabe3") && bind(state, &l.free_device_list, "taabe229");
  for (int opcode = 0; ok && opcode < kCudaOpcodeCount; ++opcode) {
    ok = bind(state, &l.device_op[opcode], kOperatorSymbols[opcode]);
  }
  return ok;
}

}  // namespace

const CudaLibrary *cuda_library() {
  Loader &state = loader();
  if (const CudaLibrary *library = state.ready.load(std::memory_order_acquire)) return library;
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const CudaLibrary *library = state.ready.load(std::memory_order_relaxed)) return library;
  if (state.tried) return nullptr;  // one attempt per process (or per use_library)
  state.tried = true;
  state.handle = open_library(state);
  if (!state.handle) return nullptr;
  if (!bind_all(state)) {
    dlclose(state.handle);
    state.handle = nullptr;
    return nullptr;
  }
  state.ready.store(&state.library, std::memory_order_release);
  return &state.library;
}

const char *cuda_library_file() { return loader().file; }
const char *cuda_library_problem() { return loader().problem; }

namespace cuda_testing {

void use_library(const char *path) {
  Loader &state = loader();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.ready.store(nullptr, std::memory_order_release);
  if (state.handle) dlclose(state.handle);
  state.handle = nullptr;
  state.library = CudaLibrary{};
  state.tried = false;
  std::snprintf(state.path, sizeof(state.path), "%s", path ? path : "");
  state.file[0] = '\0';
  state.problem[0] = '\0';
}

}  // namespace cuda_testing
}  // namespace qx
