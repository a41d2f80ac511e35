#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/sysinfo.h>
#endif

#include "runtime/operation_table.h"
#include "test_support.h"
#if defined(QX_ORB_CUDA_BINDING)
#include "cuda/cuda_library.h"
#endif

using namespace qx;
using qx_test::collect_messages;

namespace {

#if defined(QX_ORB_METAL)
// These tests describe the listing of the CPU alone: the Metal column's
// list is taken out (the Metal tests list its devices).
class WithoutMetalList : public ::testing::Environment {
  void SetUp() override { operation_table().list_devices[kDeviceMetal] = nullptr; }
};
::testing::Environment *const without_metal_list =
    ::testing::AddGlobalTestEnvironment(new WithoutMetalList);
#endif

// The logical processor count as the system's own call gives it: the
// library must list this one (GetSystemInfo on Windows).
int system_processor_count() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<int>(info.dwNumberOfProcessors);
#else
  return get_nprocs_conf();
#endif
}

#if defined(QX_ORB_CUDA_BINDING) && defined(_WIN32)
// These tests count the CPU's entry alone (cuda_binding_test lists the
// GPU's). The Windows build cannot lose its imported GPU library, so the
// CUDA column's list is taken out instead.
class WithoutCudaList : public ::testing::Environment {
  void SetUp() override { operation_table().list_devices[kDeviceCuda] = nullptr; }
};
::testing::Environment *const without_cuda_list =
    ::testing::AddGlobalTestEnvironment(new WithoutCudaList);
#elif defined(QX_ORB_CUDA_BINDING)
// These tests count the CPU's entry alone, whatever GPU library the
// machine has installed (cuda_binding_test lists the GPU's).
struct WithoutGpuLibrary {
  WithoutGpuLibrary() { cuda_testing::use_library("/nonexistent/libqx_ypu_impl_cuda_orb.so"); }
} without_gpu_library;
#endif

std::string cpu_entry() {
  const int n = system_processor_count();
  return "cpu:[0-" + std::to_string(n) + "] - CPU (" + std::to_string(n) + " threads)";
}

TEST(HardwareDevices, ListsTheCpuOnce) {
  const long live_before = qx_test::settled_live_blocks();
  char **devices = nullptr;
  int32_t count = 0;
  ASSERT_EQ(qx_orb_list_hardware_devices(&devices, &count), QX_STATUS_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(devices[0], cpu_entry());
  qx_orb_free_hardware_devices(devices, count);
  qx_orb_free_hardware_devices(nullptr, 3);
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
}

TEST(HardwareDevices, NullOutputsAreNamed) {
  char **devices = nullptr;
  int32_t count = 0;
  EXPECT_EQ(qx_orb_list_hardware_devices(nullptr, &count), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{qx_test::line(
                                    100, "Argument `hardware_devices` is NULL.")});
  EXPECT_EQ(qx_orb_list_hardware_devices(&devices, nullptr), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{qx_test::line(
                                    100, "Argument `num_hardware_devices` is NULL.")});
}

TEST(HardwareDevices, EveryAllocationFailureLeavesNothing) {
  qx_test::FaultInjectionOff restore;
  const long live_before = qx_test::settled_live_blocks();
  for (long n = 0;; ++n) {
    SCOPED_TRACE(n);
    char **devices = reinterpret_cast<char **>(1);
    int32_t count = -1;
    allocator_testing::fail_after(n);
    const QxStatus status = qx_orb_list_hardware_devices(&devices, &count);
    allocator_testing::fail_after(-1);
    if (status == QX_STATUS_SUCCESS) {
      qx_orb_free_hardware_devices(devices, count);
      break;
    }
    EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0);
    const auto messages = collect_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], qx_test::line(200, "Failed to allocate, out of memory."));
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
    ASSERT_LT(n, 20);
  }
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
}

// A second device type whose list has a gap, or whose listing fails.
QxStatus g_list_result = QX_STATUS_SUCCESS;
QxStatus gapped_list(char ***devices, int32_t *count) {
  auto **list = static_cast<char **>(heap_calloc(3, sizeof(char *)));
  list[0] = static_cast<char *>(heap_calloc(8, 1));
  std::snprintf(list[0], 8, "gpu:0 x");
  list[2] = static_cast<char *>(heap_calloc(8, 1));
  std::snprintf(list[2], 8, "gpu:1 y");
  *devices = list;
  *count = 3;
  return g_list_result;
}
void free_gapped_list(char **devices, int32_t count) {
  for (int32_t i = 0; i < count; ++i) heap_free(devices[i]);
  heap_free(devices);
}

class ExtraDeviceType : public testing::Test {
 protected:
  void SetUp() override {
    operation_table().list_devices[2] = gapped_list;
    operation_table().free_device_list[2] = free_gapped_list;
  }
  void TearDown() override {
    operation_table().list_devices[2] = nullptr;
    operation_table().free_device_list[2] = nullptr;
    g_list_result = QX_STATUS_SUCCESS;
  }
};

TEST_F(ExtraDeviceType, NullEntriesAreSkippedAndNotCounted) {
  const long live_before = qx_test::settled_live_blocks();
  char **devices = nullptr;
  int32_t count = 0;
  ASSERT_EQ(qx_orb_list_hardware_devices(&devices, &count), QX_STATUS_SUCCESS);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(devices[0], cpu_entry());
  EXPECT_STREQ(devices[1], "gpu:0 x");
  EXPECT_STREQ(devices[2], "gpu:1 y");
  qx_orb_free_hardware_devices(devices, count);
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
}

TEST_F(ExtraDeviceType, AFailingListIsReportedAndReleased) {
  const long live_before = qx_test::settled_live_blocks();
  g_list_result = QX_STATUS_RUNTIME_ERROR;
  char **devices = nullptr;
  int32_t count = 0;
  EXPECT_EQ(qx_orb_list_hardware_devices(&devices, &count), QX_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(devices, nullptr);
  EXPECT_EQ(collect_messages(), std::vector<std::string>{qx_test::generic_line(800)});
  EXPECT_EQ(qx_test::settled_live_blocks(), live_before);
}

TEST(ConstantQueries, FrameRateVersionAndLanguages) {
  EXPECT_EQ(qx_orb_frame_length(), 32768);
  EXPECT_EQ(qx_sample_rate(), 16000);
  EXPECT_STREQ(qx_orb_version(), "1.0.0");
  const char *texts[] = {"unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"};
  for (QxOrbLanguage i = 0; i < 9; ++i) EXPECT_STREQ(qx_orb_language_to_string(i), texts[i]);
  EXPECT_EQ(qx_orb_language_to_string(9), nullptr);
  EXPECT_EQ(qx_orb_language_to_string(0xFFFFFFFFu), nullptr);
}

}  // namespace
