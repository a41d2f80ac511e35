// The shader library's kernels compiled as C++, by name, for the emulator.
#include <cstring>

#include "metal/kernels/orb_kernels.metal"

namespace qx {
namespace mtl {
namespace emulator {
namespace {

#define QX_KERNEL_ENTRY(name) make_kernel_entry(#name, metal_kernels::name)

const KernelEntry kKernels[] = {
    QX_KERNEL_ENTRY(taabe4),   QX_KERNEL_ENTRY(taabe236), QX_KERNEL_ENTRY(taabe99),
    QX_KERNEL_ENTRY(taabe90),  QX_KERNEL_ENTRY(taabe123), QX_KERNEL_ENTRY(taabe229),
    QX_KERNEL_ENTRY(taabe263), QX_KERNEL_ENTRY(taabe114), QX_KERNEL_ENTRY(taabe144),
    QX_KERNEL_ENTRY(taabe243), QX_KERNEL_ENTRY(taabe142), QX_KERNEL_ENTRY(taabe257),
    QX_KERNEL_ENTRY(taabe89),
};

}  // namespace

const KernelEntry *find_kernel(const char *name) {
  for (const KernelEntry &entry : kKernels) {
    if (std::strcmp(entry.name, name) == 0) return &entry;
  }
  return nullptr;
}

}  // namespace emulator
}  // namespace mtl
}  // namespace qx
