// The feature extractor on a device whose mapping fails: a clear failure,
// the buffer back in the cache, nothing left mapped.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "devices/device_selection.h"
#include "frontend/log_mel.h"
#include "runtime/device_context.h"
#include "runtime/operation_table.h"
#include "test_support.h"

namespace qx {
namespace {

constexpr int32_t kHop = 256;
constexpr int32_t kBands = 40;

MapFn g_cpu_map = nullptr;
bool g_fail_map = false;

void *maybe_failing_map(void *backend, TensorBuffer *tensor, int32_t flags) {
  return g_fail_map ? nullptr : g_cpu_map(backend, tensor, flags);
}

TEST(LogMelTest, AFailedMappingFailsTheFrame) {
  DeviceContext *context = nullptr;
  ASSERT_EQ(open_device("cpu:1", "cpu:1", &context), QX_STATUS_SUCCESS);
  std::vector<float> mean(kBands, 0.0f), deviation(kBands, 1.0f), window(512, 1.0f);
  const LogMelSettings settings{kHop, kBands, 1e-6f, mean.data(), deviation.data(), window.data()};
  std::vector<int16_t> pcm(kFrameSamples);
  for (size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<int16_t>(8000 * std::sin(0.05 * static_cast<double>(i)));
  }

  OperationTable &table = operation_table();
  g_cpu_map = table.map[kDeviceCpu];
  table.map[kDeviceCpu] = maybe_failing_map;
  for (const bool fail : {true, false}) {
    SCOPED_TRACE(fail ? "failing map" : "working map");
    g_fail_map = fail;
    error_stack_reset();
    TensorBuffer *features = nullptr;
    const QxStatus status = extract_log_mel_features(context, &settings, pcm.data(), kBands,
                                                     &features);
    if (fail) {
      EXPECT_EQ(status, QX_STATUS_RUNTIME_ERROR);
      EXPECT_EQ(features, nullptr);
      EXPECT_EQ(qx_test::collect_messages(),
                std::vector<std::string>{qx_test::generic_line(300)});
    } else {
      ASSERT_EQ(status, QX_STATUS_SUCCESS);
      const auto *rows = static_cast<const float *>(map(context, features, kMapRead));
      for (int32_t i = 0; i < kFrameSamples / kHop * kBands; ++i) {
        ASSERT_TRUE(std::isfinite(rows[i])) << i;
      }
      unmap(context, features, 0);
      recycle_buffer(context, features);
    }
  }
  table.map[kDeviceCpu] = g_cpu_map;
  release_device_context(context);
}

}  // namespace
}  // namespace qx
