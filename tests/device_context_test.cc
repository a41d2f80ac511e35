#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "cpu/cpu_backend.h"
#include "base/error_catalogue.h"
#include "runtime/device_context.h"
#include "test_support.h"

using namespace qx;
using qx_test::collect_messages;

namespace {

class DeviceContextTest : public testing::Test {
 protected:
  void SetUp() override {
    live_before_ = qx_test::settled_live_blocks();
    CpuBackend *backend = nullptr;
    ASSERT_EQ(cpu_backend_create(1, &backend), QX_STATUS_SUCCESS);
    ASSERT_EQ(create_device_context(kDeviceCpu, backend, &context_), QX_STATUS_SUCCESS);
  }
  void TearDown() override {
    if (context_) release_device_context(context_);
    EXPECT_EQ(allocator_testing::live_blocks(), live_before_) << "leaked blocks";
  }

  // Occupies cache entry `index` with a new buffer of `size` bytes and `age`.
  TensorBuffer *place(int index, int32_t size, int32_t age) {
    TensorBuffer *buffer = tensor_alloc(context_, size, 0);
    context_->cache[index] = {buffer, age};
    return buffer;
  }
  int occupied() const {
    int n = 0;
    for (const CacheEntry &entry : context_->cache) n += entry.buffer != nullptr;
    return n;
  }

  DeviceContext *context_ = nullptr;
  long live_before_ = 0;
};

TEST_F(DeviceContextTest, AcquirePrefersExactThenSmallestLargerThenNew) {
  TensorBuffer *b100 = place(3, 100, 0);
  TensorBuffer *b200a = place(5, 200, 0);
  TensorBuffer *b200b = place(7, 200, 0);

  EXPECT_EQ(acquire_buffer(context_, 150), b200a);  // smallest fit, lower entry
  EXPECT_EQ(context_->cache[5].buffer, nullptr);
  EXPECT_EQ(acquire_buffer(context_, 100), b100);  // exact
  TensorBuffer *fresh = acquire_buffer(context_, 250);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(tensor_size(context_, fresh), 250);
  EXPECT_EQ(fresh->flags, 0);
  EXPECT_EQ(context_->cache[7].buffer, b200b);  // untouched
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fresh->data) % 32, 0u);
  for (TensorBuffer *b : {b100, b200a, fresh}) tensor_free(context_, b);
}

TEST_F(DeviceContextTest, AcquireTakesTheLowerOfTwoExactFits) {
  TensorBuffer *first = place(10, 64, 0);
  TensorBuffer *second = place(20, 64, 0);
  EXPECT_EQ(acquire_buffer(context_, 64), first);
  EXPECT_EQ(context_->cache[20].buffer, second);
  tensor_free(context_, first);
}

TEST_F(DeviceContextTest, RecyclingNullChangesNothing) {
  place(0, 16, 5);
  recycle_buffer(context_, nullptr);
  EXPECT_EQ(context_->cache[0].age, 5);
  EXPECT_EQ(occupied(), 1);
}

TEST_F(DeviceContextTest, AnIdleBufferIsFreedByThe129thRecycleAfterIt) {
  TensorBuffer *idle = tensor_alloc(context_, 8, 0);
  recycle_buffer(context_, idle);
  TensorBuffer *busy = tensor_alloc(context_, 16, 0);
  for (int i = 1; i <= 129; ++i) {
    recycle_buffer(context_, busy);
    const bool idle_cached = std::any_of(std::begin(context_->cache), std::end(context_->cache),
                                         [&](const CacheEntry &e) { return e.buffer == idle; });
    EXPECT_EQ(idle_cached, i <= 128) << "after recycle " << i;
    busy = acquire_buffer(context_, 16);
  }
  recycle_buffer(context_, busy);
}

TEST_F(DeviceContextTest, AFullCacheReplacesItsOldestLowestEntry) {
  for (int i = 0; i < kBufferCacheEntries; ++i) place(i, 8, i % 10);
  // Ages become 1..10 after this recycle's ageing; entries 9, 19, ... hold 10.
  TensorBuffer *incoming = tensor_alloc(context_, 8, 0);
  recycle_buffer(context_, incoming);
  EXPECT_EQ(context_->cache[9].buffer, incoming);
  EXPECT_EQ(context_->cache[9].age, 0);
  EXPECT_EQ(context_->cache[19].age, 10);
  EXPECT_EQ(occupied(), kBufferCacheEntries);
}

TEST_F(DeviceContextTest, AnEmptyEntryZeroDoesNotWinOverOlderEntries) {
  context_->cache[0] = {nullptr, 0};
  for (int i = 1; i < kBufferCacheEntries; ++i) place(i, 8, i == 40 ? 50 : 20);
  TensorBuffer *incoming = tensor_alloc(context_, 8, 0);
  recycle_buffer(context_, incoming);
  EXPECT_EQ(context_->cache[0].buffer, nullptr);
  EXPECT_EQ(context_->cache[40].buffer, incoming);
}

TEST_F(DeviceContextTest, StaticRecordsAreUsedInPlaceAndNeverFreed) {
  alignas(32) static int16_t weights[4] = {1, 2, 3, 4};
  TensorBuffer record{sizeof(weights), kTensorStatic, weights};
  TensorBuffer *tensor = tensor_from_static(context_, &record);
  EXPECT_EQ(tensor, &record);
  tensor_free(context_, tensor);
  EXPECT_EQ(weights[3], 4);

  // Without the static bit the contents are copied into a device tensor.
  TensorBuffer owned{sizeof(weights), 0, weights};
  TensorBuffer *copy = tensor_from_static(context_, &owned);
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy, &owned);
  EXPECT_EQ(std::memcmp(copy->data, weights, sizeof(weights)), 0);
  tensor_free(context_, copy);
}

TEST_F(DeviceContextTest, StaticCopyFailureReportsDeviceMemory) {
  qx_test::FaultInjectionOff restore;
  int16_t values[2] = {};
  TensorBuffer record{sizeof(values), 0, values};
  error_stack_reset();
  allocator_testing::fail_after(0);
  EXPECT_EQ(tensor_from_static(context_, &record), nullptr);
  EXPECT_EQ(collect_messages(),
            std::vector<std::string>{qx_test::line(804, "Failed to allocate, out of memory.")});
}

TEST_F(DeviceContextTest, ReferenceCountingDestroysOnTheLastRelease) {
  retain_device_context(context_);
  release_device_context(context_);
  EXPECT_EQ(context_->refcount, 1);
  release_device_context(context_);
  context_ = nullptr;  // TearDown checks that everything was freed
}

// ---- Dispatch --------------------------------------------------------------

int g_kernel_calls = 0;
int g_reference_calls = 0;
QxStatus g_kernel_result = QX_STATUS_SUCCESS;

QxStatus test_kernel(void *, void *, const OperandBlock *) {
  ++g_kernel_calls;
  return g_kernel_result;
}
QxStatus test_reference(DeviceContext *, const OperandBlock *) {
  ++g_reference_calls;
  return QX_STATUS_SUCCESS;
}

// Installs test functions in the table for one opcode and restores it after.
class DispatchTest : public DeviceContextTest {
 protected:
  static constexpr int kOpcode = kOpReluF32;
  void SetUp() override {
    DeviceContextTest::SetUp();
    OperationTable &table = operation_table();
    saved_kernel_ = table.device_op[kOpcode][kDeviceCpu];
    saved_reference_ = table.reference_op[kOpcode];
    table.reference_op[kOpcode] = test_reference;
    g_kernel_calls = g_reference_calls = 0;
  }
  void TearDown() override {
    operation_table().device_op[kOpcode][kDeviceCpu] = saved_kernel_;
    operation_table().reference_op[kOpcode] = saved_reference_;
    DeviceContextTest::TearDown();
  }
  DeviceOpFn saved_kernel_ = nullptr;
  ReferenceOpFn saved_reference_ = nullptr;
};

TEST_F(DispatchTest, KernelFirstReferenceOnDeclineOrWhenForbidden) {
  const struct {
    bool has_kernel;
    QxStatus kernel_result;
    uint32_t flags;
    QxStatus expected;
    int kernel_calls, reference_calls;
  } cases[] = {
      {true, QX_STATUS_SUCCESS, 0, QX_STATUS_SUCCESS, 1, 0},
      {true, QX_STATUS_INVALID_ARGUMENT, 0, QX_STATUS_SUCCESS, 1, 1},  // declined
      {true, QX_STATUS_RUNTIME_ERROR, 0, QX_STATUS_RUNTIME_ERROR, 1, 0},
      {true, QX_STATUS_OUT_OF_MEMORY, 0, QX_STATUS_OUT_OF_MEMORY, 1, 0},
      {true, QX_STATUS_SUCCESS, kContextReferenceOnly, QX_STATUS_SUCCESS, 0, 1},
      {false, QX_STATUS_SUCCESS, 0, QX_STATUS_SUCCESS, 0, 1},
  };
  OperandBlock block{};
  for (const auto &c : cases) {
    operation_table().device_op[kOpcode][kDeviceCpu] = c.has_kernel ? test_kernel : nullptr;
    g_kernel_result = c.kernel_result;
    g_kernel_calls = g_reference_calls = 0;
    context_->flags = c.flags;
    EXPECT_EQ(run_operator(context_, kOpcode, &block), c.expected);
    EXPECT_EQ(g_kernel_calls, c.kernel_calls);
    EXPECT_EQ(g_reference_calls, c.reference_calls);
  }
  context_->flags = 0;
}

TEST_F(DispatchTest, OpcodesWithoutAnyOperatorFail) {
  OperandBlock block{};
  EXPECT_EQ(run_operator(context_, 15, &block), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(run_operator(context_, -1, &block), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(run_operator(context_, 16, &block), QX_STATUS_INVALID_ARGUMENT);
}

// ---- Creation --------------------------------------------------------------

std::vector<int> g_init_order, g_release_order;
QxStatus recording_init(void *, void **handle) {
  g_init_order.push_back(static_cast<int>(g_init_order.size()));
  *handle = reinterpret_cast<void *>(static_cast<uintptr_t>(0x100 + g_init_order.size()));
  return g_init_order.size() == 2 && g_kernel_result != QX_STATUS_SUCCESS ? g_kernel_result
                                                                          : QX_STATUS_SUCCESS;
}
void recording_release(void *, void *handle) {
  g_release_order.push_back(static_cast<int>(reinterpret_cast<uintptr_t>(handle)));
}

TEST(DeviceContextCreation, OperatorHandlesLiveAsLongAsTheContext) {
  const long live_before = qx_test::settled_live_blocks();
  OperationTable &table = operation_table();
  const int opcodes[] = {kOpAddF32, kOpMatmulF32};
  for (int op : opcodes) {
    table.op_init[op][kDeviceCpu] = recording_init;
    table.op_release[op][kDeviceCpu] = recording_release;
  }
  CpuBackend *backend = nullptr;
  ASSERT_EQ(cpu_backend_create(1, &backend), QX_STATUS_SUCCESS);

  // A failing op_init returns its status, the context memory and the
  // handles made before it.
  g_init_order.clear();
  g_release_order.clear();
  g_kernel_result = QX_STATUS_RUNTIME_ERROR;
  error_stack_reset();
  DeviceContext *context = nullptr;
  EXPECT_EQ(create_device_context(kDeviceCpu, backend, &context), QX_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(collect_messages(),
            std::vector<std::string>{qx_test::line(801, "Failed to init operator")});
  EXPECT_EQ(g_release_order, std::vector<int>{0x101});

  g_init_order.clear();
  g_release_order.clear();
  g_kernel_result = QX_STATUS_SUCCESS;
  ASSERT_EQ(create_device_context(kDeviceCpu, backend, &context), QX_STATUS_SUCCESS);
  EXPECT_EQ(context->op_handles[kOpAddF32], reinterpret_cast<void *>(0x101));
  EXPECT_EQ(context->op_handles[kOpMatmulF32], reinterpret_cast<void *>(0x102));
  release_device_context(context);  // also destroys the backend
  EXPECT_EQ(g_release_order, (std::vector<int>{0x102, 0x101}));  // highest opcode first

  for (int op : opcodes) {
    table.op_init[op][kDeviceCpu] = nullptr;
    table.op_release[op][kDeviceCpu] = nullptr;
  }
  EXPECT_EQ(allocator_testing::live_blocks(), live_before);
}

TEST(DeviceContextCreation, MissingContextMemoryIsReported) {
  qx_test::FaultInjectionOff restore;
  const long live_before = qx_test::settled_live_blocks();
  CpuBackend *backend = nullptr;
  ASSERT_EQ(cpu_backend_create(1, &backend), QX_STATUS_SUCCESS);
  error_stack_reset();
  allocator_testing::fail_after(0);
  DeviceContext *context = nullptr;
  EXPECT_EQ(create_device_context(kDeviceCpu, backend, &context), QX_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(collect_messages(),
            std::vector<std::string>{qx_test::line(803, "Failed to allocate, out of memory.")});
  cpu_backend_destroy(backend);
  EXPECT_EQ(allocator_testing::live_blocks(), live_before);
}

}  // namespace
