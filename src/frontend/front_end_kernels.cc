#include "frontend/front_end_kernels.h"

#include "frontend/front_end_portable.h"
#include "platform/platform.h"

#if defined(__x86_64__)
#include "frontend/x86/front_end_avx2.h"
#endif

namespace qx {
namespace {

constexpr FrontEndKernels kPortable = {
    "portable",
    real_fft_512_portable,
    bin_powers_portable,
    mel_energies_portable,
    fixed_log10_q10_portable,
    log10_portable,
    log_mel_frame_portable,
    vad_frame_portable,
};

#if defined(__x86_64__)
constexpr FrontEndKernels kAvx2 = {
    "avx2",
    real_fft_512_avx2,
    bin_powers_avx2,
    mel_energies_avx2,
    fixed_log10_q10_avx2,
    log10_avx2,
    log_mel_frame_avx2,
    vad_frame_avx2,
};
#endif

const FrontEndKernels *g_testing_choice = nullptr;

FrontEndKernelChoice detect() {
  FrontEndKernelChoice choice{{&kPortable, nullptr}, 1};
#if defined(__x86_64__)
  // The AVX2 set needs the 256-bit register state saved by the system; it
  // uses no fused multiply-add.
  if (platform::avx2_fma_usable()) choice.sets[choice.count++] = &kAvx2;
#endif
  return choice;
}

}  // namespace

FrontEndKernelChoice usable_front_end_kernels() {
  static const FrontEndKernelChoice choice = detect();
  return choice;
}

const FrontEndKernels &front_end_kernels() {
  static const FrontEndKernels *const chosen = [] {
    const FrontEndKernelChoice usable = usable_front_end_kernels();
    return usable.sets[usable.count - 1];
  }();
  return g_testing_choice ? *g_testing_choice : *chosen;
}

namespace front_end_testing {
void use_kernels(const FrontEndKernels *kernels) { g_testing_choice = kernels; }
}  // namespace front_end_testing

}  // namespace qx
