#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpu/cpu_backend.h"
#include "devices/device_selection.h"
#include "cpu/thread_pool.h"
#include "runtime/device_context.h"
#include "test_support.h"

using namespace qx;
using qx_test::collect_messages;
using qx_test::generic_line;
using qx_test::line;

namespace {

const int32_t kDefaultThreads = platform::processor_count() / 2;

struct Opened {
  QxStatus status;
  int32_t thread_count;
  bool has_pool;
  std::vector<std::string> messages;
};

Opened open(const char *device, const char *preferred = "cpu:1") {
  qx_test::discard_messages();
  error_stack_reset();
  DeviceContext *context = nullptr;
  Opened result{open_device(device, preferred, &context), 0, false, {}};
  if (result.status == QX_STATUS_SUCCESS) {
    auto *backend = static_cast<CpuBackend *>(context->backend);
    EXPECT_EQ(context->device_type, kDeviceCpu);
    EXPECT_EQ(context->refcount, 1);
    EXPECT_EQ(backend->isa_flags, platform::detect_isa_flags());
    result.thread_count = backend->thread_count;
    result.has_pool = backend->pool != nullptr;
    if (backend->pool) {
      EXPECT_EQ(thread_pool_thread_count(backend->pool), static_cast<uint32_t>(backend->thread_count));
    }
    release_device_context(context);
  } else {
    EXPECT_EQ(context, nullptr);
  }
  result.messages = collect_messages();
  return result;
}

TEST(DeviceStrings, SelectTheCpuWithItsThreadCount) {
  const struct {
    const char *device;
    int32_t threads;
  } cases[] = {
      {"", kDefaultThreads},     {":", kDefaultThreads}, {"cpu:", kDefaultThreads},
      {"c", kDefaultThreads},    {"cp", kDefaultThreads}, {"cpu", kDefaultThreads},
      {"cpu:1", 1},              {"c:2", 2},              {"cpu:3", 3},
      {"cpu: 2", 2},             {"cpu:+2", 2},           {"cpu:0", kDefaultThreads},
      {"cpu:-3", -3},            {"best", 1},             {":1", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.device);
    const Opened opened = open(c.device);
    EXPECT_EQ(opened.status, QX_STATUS_SUCCESS);
    EXPECT_EQ(opened.thread_count, c.threads);
    EXPECT_EQ(opened.has_pool, c.threads >= 2);
    EXPECT_TRUE(opened.messages.empty());
  }
}

TEST(DeviceStrings, MalformedNumbersFailSilently) {
  const char *cases[] = {"cpu:x", "cpu:1x", "cpu:1 ", "cpu::1",
                         "cpu:99999999999999999999", "cpu:4294967296", "cpu:-2147483649",
                         "gpu:1.5"};
  for (const char *device : cases) {
    SCOPED_TRACE(device);
    const Opened opened = open(device);
    EXPECT_EQ(opened.status, QX_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(opened.messages.empty());
  }
}

TEST(DeviceStrings, UnknownTypesAreNamedInTheMessage) {
  const char *cases[] = {"x", "x:", "cpux", "cpu0", "best:", "best:1", "gpux", "BEST", "CPU", "GPU"};
  for (const char *device : cases) {
    SCOPED_TRACE(device);
    const Opened opened = open(device);
    EXPECT_EQ(opened.status, QX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(opened.messages,
              std::vector<std::string>{line(802, std::string(device) +
                                                     " is not a valid device string")});
  }
}

// The Metal tests open its emulated device, cuda_binding_test the GPU
// library's (Linux x86-64 and Windows).
#if !defined(QX_ORB_METAL) && !defined(QX_ORB_CUDA_BINDING)
// This build (ARM32) has no GPU: "gpu" and its leading parts name no device.
std::vector<std::string> gpu_failure(const std::string &device) {
  return {line(802, device + " is not a valid device string")};
}
constexpr QxStatus kGpuStatus = QX_STATUS_INVALID_ARGUMENT;

TEST(DeviceStrings, GpuStringsReachTheGpuOfTheBuild) {
  for (const char *device : {"gpu", "gp", "g", "g:0", "gpu:1", "gpu:-1", "gpu:"}) {
    SCOPED_TRACE(device);
    const Opened opened = open(device);
    EXPECT_EQ(opened.status, kGpuStatus);
    EXPECT_EQ(opened.messages, gpu_failure(device));
  }
  // "best" with the GPU preferred falls back to the CPU, keeping the lines.
  const Opened best = open("best", "gpu");
  EXPECT_EQ(best.status, QX_STATUS_SUCCESS);
  EXPECT_EQ(best.thread_count, kDefaultThreads);
  EXPECT_EQ(best.messages, gpu_failure("gpu"));
}
#endif

// A caller's string cannot break the message line or forge another one.
TEST(DeviceStrings, ControlCharactersAreEscapedInTheMessage) {
  const struct {
    const char *device;
    const char *shown;
  } cases[] = {
      {"cp\nu", "cp\\x0Au"},
      {"\x1b[31mred", "\\x1B[31mred"},
      {"tab\there\x7f", "tab\\x09here\\x7F"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.shown);
    const Opened opened = open(c.device);
    EXPECT_EQ(opened.status, QX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(opened.messages,
              std::vector<std::string>{line(802, std::string(c.shown) +
                                                     " is not a valid device string")});
  }
}

TEST(DeviceStrings, BestFallsBackToTheDefaultCpu) {
  const Opened opened = open("best", "nonsense");
  EXPECT_EQ(opened.status, QX_STATUS_SUCCESS);
  EXPECT_EQ(opened.thread_count, kDefaultThreads);
  // The failed preferred attempt leaves its line; the call still succeeds.
  EXPECT_EQ(opened.messages,
            std::vector<std::string>{line(802, "nonsense is not a valid device string")});
}

TEST(DeviceSelectionFailures, EveryAllocationFailureIsReportedWithoutLeaks) {
  qx_test::FaultInjectionOff restore;
  for (const char *device : {"cpu:1", "cpu:2", "cpu:4"}) {
    const long live_before = qx_test::settled_live_blocks();
    for (long n = 0;; ++n) {
      SCOPED_TRACE(std::string(device) + " failing allocation " + std::to_string(n));
      qx_test::discard_messages();
      error_stack_reset();
      allocator_testing::fail_after(n);
      DeviceContext *context = nullptr;
      const QxStatus status = open_device(device, "cpu:1", &context);
      allocator_testing::fail_after(-1);
      if (status == QX_STATUS_SUCCESS) {
        release_device_context(context);
        EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
        break;
      }
      EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
      EXPECT_EQ(context, nullptr);
      const auto messages = collect_messages();
      ASSERT_GE(messages.size(), 2u);
      EXPECT_EQ(messages.back(), generic_line(300));
      EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
      ASSERT_LT(n, 100) << "allocation walk did not end";
    }
  }
}

TEST(DeviceSelectionFailures, AWorkerThatCannotStartFailsCreation) {
  qx_test::FaultInjectionOff restore;
  const long live_before = qx_test::settled_live_blocks();
  for (long k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    platform::fail_thread_create_after(k);  // workers 1..3 of "cpu:4"
    const Opened opened = open("cpu:4");
    platform::fail_thread_create_after(-1);
    EXPECT_EQ(opened.status, QX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(opened.messages, std::vector<std::string>(2, generic_line(300)));
  }
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
}

#if defined(__x86_64__) || defined(__i386__)
TEST(ProcessorFeatures, BitsFollowTheProcessor) {
  const uint32_t flags = platform::detect_isa_flags();
  __builtin_cpu_init();
  EXPECT_EQ((flags & CPU_SSE4_1) != 0, __builtin_cpu_supports("sse4.1") != 0);
  EXPECT_EQ((flags & CPU_AVX2) != 0, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ((flags & CPU_AVX512F) != 0, __builtin_cpu_supports("avx512f") != 0);
  EXPECT_EQ(flags & CPU_NEON, 0u);
}

// The 512-bit and VNNI dense kernels run only where the processor has every
// instruction they use and the operating system saves the registers: a
// processor bit or an XCR0 state bit missing declines them.
TEST(ProcessorFeatures, WiderDenseKernelsNeedEveryBitAndTheSavedState) {
  constexpr uint32_t kOsxsaveFma = (1u << 27) | (1u << 12);
  constexpr uint32_t kAvx512Ebx = (1u << 5) | (1u << 8) | (1u << 16) | (1u << 30) | (1u << 31);
  constexpr uint32_t kVnniEcx = 1u << 11;
  constexpr uint32_t kAvxVnniEax = 1u << 4;
  constexpr uint64_t kAllState = 0xE7;  // x87, SSE, AVX, opmask, both zmm parts
  const struct {
    const char *what;
    platform::ProcessorIdentity identity;
    bool avx_vnni, avx512_bw, avx512_vnni;
  } rows[] = {
      {"everything", {kOsxsaveFma, kAvx512Ebx, kVnniEcx, kAvxVnniEax, kAllState}, true, true, true},
      {"no AVX-512 VNNI", {kOsxsaveFma, kAvx512Ebx, 0, kAvxVnniEax, kAllState}, true, true, false},
      {"no AVX-VNNI", {kOsxsaveFma, kAvx512Ebx, kVnniEcx, 0, kAllState}, false, true, true},
      {"no BW", {kOsxsaveFma, kAvx512Ebx & ~(1u << 30), kVnniEcx, 0, kAllState}, false, false,
       false},
      {"no VL", {kOsxsaveFma, kAvx512Ebx & ~(1u << 31), kVnniEcx, 0, kAllState}, false, false,
       false},
      {"no BMI2", {kOsxsaveFma, kAvx512Ebx & ~(1u << 8), kVnniEcx, 0, kAllState}, false, false,
       false},
      {"no FMA", {1u << 27, kAvx512Ebx, kVnniEcx, kAvxVnniEax, kAllState}, false, false, false},
      {"opmask state not saved", {kOsxsaveFma, kAvx512Ebx, kVnniEcx, kAvxVnniEax, 0xC7}, true,
       false, false},
      {"upper zmm halves not saved", {kOsxsaveFma, kAvx512Ebx, kVnniEcx, kAvxVnniEax, 0xA7}, true,
       false, false},
      {"zmm16-31 not saved", {kOsxsaveFma, kAvx512Ebx, kVnniEcx, kAvxVnniEax, 0x67}, true, false,
       false},
      {"no AVX state", {kOsxsaveFma, kAvx512Ebx, kVnniEcx, kAvxVnniEax, 0x3}, false, false, false},
      {"no OSXSAVE, state bits ignored", {1u << 12, kAvx512Ebx, kVnniEcx, kAvxVnniEax, kAllState},
       false, false, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    const platform::VectorExtensions got = platform::vector_extensions_of(row.identity);
    EXPECT_EQ(got.avx_vnni, row.avx_vnni);
    EXPECT_EQ(got.avx512_bw, row.avx512_bw);
    EXPECT_EQ(got.avx512_vnni, row.avx512_vnni);
  }
}

// The kernel-only bits never enter isa_flags, and come only with the
// processor bit they extend.
TEST(ProcessorFeatures, KernelBitsExtendTheirProcessorBitOnly) {
  const uint32_t flags = platform::detect_isa_flags();
  const uint32_t kernel_bits = CPU_AVXVNNI | CPU_AVX512BW | CPU_AVX512VNNI;
  EXPECT_EQ(flags & kernel_bits, 0u);
  EXPECT_EQ(usable_isa_flags(flags & ~(CPU_AVX2 | CPU_AVX512F)) & kernel_bits, 0u);
  EXPECT_EQ(usable_isa_flags(flags & ~CPU_AVX512F) & (CPU_AVX512BW | CPU_AVX512VNNI), 0u);
  const platform::VectorExtensions wider = platform::vector_extensions_usable();
  EXPECT_EQ((usable_isa_flags(flags) & CPU_AVX512VNNI) != 0, wider.avx512_vnni);
  EXPECT_EQ((usable_isa_flags(flags) & CPU_AVX512BW) != 0, wider.avx512_bw);
  if (wider.avx512_bw) {
    __builtin_cpu_init();
    EXPECT_TRUE(__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"));
  }
}
#elif defined(__arm__)
// The 32-bit ARM build targets NEON processors and reports exactly that bit.
TEST(ProcessorFeatures, Arm32DevicesReportNeonAlone) {
  for (const char *device : {"cpu:1", "cpu:2", "best"}) {
    SCOPED_TRACE(device);
    DeviceContext *context = nullptr;
    ASSERT_EQ(open_device(device, "cpu:1", &context), QX_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<CpuBackend *>(context->backend)->isa_flags, CPU_NEON);
    release_device_context(context);
  }
}
#endif

}  // namespace
