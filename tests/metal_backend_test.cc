// The Metal backend on the emulated device: when command buffers are
// committed and waited for, every failure with its message chain, the device
// list, and every allocation failure on the way in and out.
#include <cstring>

#include "base/allocator.h"
#include "metal/metal_backend.h"
#include "metal_test_support.h"
#include "runtime/graph_interpreter.h"
#include "test_support.h"

namespace qx {
namespace {

using metal_testing::Bytes;
using metal_testing::TensorSet;
using mtl::emulator::Step;
using qx_test::generic_line;
using qx_test::line;
using Messages = std::vector<std::string>;

Bytes i16_values(std::vector<int16_t> values) {
  Bytes bytes(values.size() * 2);
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

QxStatus add_i16(DeviceContext *context, TensorBuffer *out, TensorBuffer *a, TensorBuffer *b,
                 int32_t count) {
  const OperandBlock block = testing_support::make_block(kOpAddI16, {out, a, b}, {count, 0, 0, 0});
  return run_operator(context, kOpAddI16, &block);
}

// ---- The commit rule -------------------------------------------------------------

class MetalCommitTest : public metal_testing::MetalContextTest {};
class MetalOpenTest : public metal_testing::EmulatedMetalTest {};

TEST_F(MetalCommitTest, EveryFourthEncoderCommitsAndNoneIsWaitedFor) {
  TensorSet tensors(gpu_);
  TensorBuffer *a = tensors.make(i16_values({1, 2})), *one = tensors.make(i16_values({1, 1}));
  const auto start = mtl::emulator::counters();
  for (int n = 1; n <= 10; ++n) {
    ASSERT_EQ(add_i16(gpu_, a, a, one, 2), QX_STATUS_SUCCESS);
    const auto now = mtl::emulator::counters();
    EXPECT_EQ(now.encoders_uncommitted, n % 4) << n << " operators";
    EXPECT_EQ(now.command_buffers_committed - start.command_buffers_committed, n / 4);
    EXPECT_EQ(now.waits, start.waits);
    EXPECT_EQ(now.command_buffers_executed, start.command_buffers_executed);
  }
  EXPECT_EQ(tensors.read(a), i16_values({11, 12}));
}

// Host access commits what is open and waits for everything, so what the
// host sees is the result of all operators enqueued before it.
TEST_F(MetalCommitTest, HostAccessWaitsForAllEnqueuedWork) {
  enum Access { kMapWriteOnly, kMapRead, kDownload, kUpload };
  for (Access access : {kMapWriteOnly, kMapRead, kDownload, kUpload}) {
    SCOPED_TRACE(access);
    TensorSet tensors(gpu_);
    TensorBuffer *a = tensors.make(i16_values({5, 6})), *one = tensors.make(i16_values({1, 1}));
    TensorBuffer *other = tensors.make(i16_values({0, 0}));
    for (int n = 0; n < 7; ++n) ASSERT_EQ(add_i16(gpu_, a, a, one, 2), QX_STATUS_SUCCESS);
    const auto before = mtl::emulator::counters();
    ASSERT_EQ(before.encoders_uncommitted, 3);
    ASSERT_EQ(before.command_buffers_pending, 1);
    int16_t seen[2] = {0, 0};
    switch (access) {
      case kMapWriteOnly:  // queued work may still read what the host overwrites
        map(gpu_, other, kMapWrite);
        unmap(gpu_, other, 1);
        break;
      case kMapRead:
        std::memcpy(seen, map(gpu_, a, kMapRead), sizeof(seen));
        unmap(gpu_, a, 0);
        break;
      case kDownload:
        ASSERT_EQ(download(gpu_, a, seen, 0, sizeof(seen)), QX_STATUS_SUCCESS);
        break;
      case kUpload: {
        // Had the upload not waited, the queued additions would land on it.
        const int16_t fresh[2] = {100, 100};
        ASSERT_EQ(upload(gpu_, a, fresh, 0, sizeof(fresh)), QX_STATUS_SUCCESS);
        break;
      }
    }
    const auto after = mtl::emulator::counters();
    EXPECT_EQ(after.encoders_uncommitted, 0);
    EXPECT_EQ(after.command_buffers_pending, 0);
    EXPECT_EQ(after.command_buffers_committed, before.command_buffers_committed + 1);
    EXPECT_EQ(after.waits, before.waits + 1);
    if (access == kMapRead || access == kDownload) {
      EXPECT_EQ(seen[0], 12);
      EXPECT_EQ(seen[1], 13);
    }
    EXPECT_EQ(tensors.read(a), access == kUpload ? i16_values({100, 100}) : i16_values({12, 13}));
  }
}

TEST_F(MetalCommitTest, BlitsCountAsEncoders) {
  TensorSet tensors(gpu_);
  TensorBuffer *a = tensors.make(Bytes(64, 7)), *b = tensors.make(Bytes(64, 1));
  const OperandBlock copy = testing_support::make_block(kOpCopyBytes, {a, b}, {16, 0, 16});
  const OperandBlock fill = testing_support::make_block(kOpZeroBytes, {a}, {8, 32});
  const auto start = mtl::emulator::counters();
  for (int n = 0; n < 2; ++n) {
    ASSERT_EQ(run_operator(gpu_, kOpCopyBytes, &copy), QX_STATUS_SUCCESS);
    ASSERT_EQ(run_operator(gpu_, kOpZeroBytes, &fill), QX_STATUS_SUCCESS);
  }
  EXPECT_EQ(mtl::emulator::counters().command_buffers_committed,
            start.command_buffers_committed + 1);
  Bytes expected(64, 7);
  std::fill(expected.begin(), expected.begin() + 16, 1);
  std::fill(expected.begin() + 32, expected.begin() + 40, 0);
  EXPECT_EQ(tensors.read(a), expected);
}

// ---- Failures ----------------------------------------------------------------------

struct OpenFailure {
  const char *name;
  const char *device;
  Step step;  // kStepCount: none
  int skip;
  QxStatus status;
  Messages messages;
  long failing_allocation = -1;  // the library's Nth allocation from the start fails
};

TEST_F(MetalOpenTest, OpeningFailuresAreReportedWithTheirChain) {
  const std::string device_failure = generic_line(300);
  const std::string get_device = "Failed to get device.";
  const std::string load_code = "Failed to load device specific code.";
  const std::string out_of_memory = "Failed to allocate, out of memory.";
  qx_test::FaultInjectionOff restore;
  const OpenFailure cases[] = {
      {"device index 1", "gpu:1", Step::kStepCount, 0, QX_STATUS_INVALID_ARGUMENT,
       {line(101, "Argument `device_index` is invalid."), device_failure, device_failure}},
      {"device index -1", "g:-1", Step::kStepCount, 0, QX_STATUS_INVALID_ARGUMENT,
       {line(101, "Argument `device_index` is invalid."), device_failure, device_failure}},
      {"no default device", "gpu", Step::kDefaultDevice, 0, QX_STATUS_RUNTIME_ERROR,
       {line(830, get_device), device_failure, device_failure}},
      {"no command queue", "gpu:0", Step::kCommandQueue, 0, QX_STATUS_RUNTIME_ERROR,
       {line(831, get_device), device_failure, device_failure}},
      {"library rejected", "gp", Step::kLibrary, 0, QX_STATUS_RUNTIME_ERROR,
       {line(832, load_code), generic_line(800), device_failure, device_failure}},
      {"first kernel function missing", "gpu", Step::kFunction, 0, QX_STATUS_RUNTIME_ERROR,
       {line(833, load_code), generic_line(800), line(801, "Failed to init operator"),
        device_failure}},
      {"last pipeline refused", "gpu", Step::kPipeline, 12, QX_STATUS_RUNTIME_ERROR,
       {line(833, load_code), generic_line(800), line(801, "Failed to init operator"),
        device_failure}},
      {"no memory for the backend record", "gpu", Step::kStepCount, 0, QX_STATUS_OUT_OF_MEMORY,
       {line(200, out_of_memory), device_failure, device_failure}, 0},
      {"no memory for the first kernel's handle", "gpu", Step::kStepCount, 0,
       QX_STATUS_OUT_OF_MEMORY,
       {line(200, out_of_memory), line(801, "Failed to init operator"), device_failure}, 2},
      {"no memory for the first kernel's record", "gpu", Step::kStepCount, 0,
       QX_STATUS_OUT_OF_MEMORY,
       {line(200, out_of_memory), generic_line(800), line(801, "Failed to init operator"),
        device_failure}, 3},
  };
  for (const OpenFailure &c : cases) {
    SCOPED_TRACE(c.name);
    mtl::emulator::reset();
    const long live_blocks = qx_test::settled_live_blocks();
    const int64_t live_objects = mtl::emulator::counters().live_objects;
    if (c.step != Step::kStepCount) mtl::emulator::fail_step(c.step, c.skip);
    allocator_testing::fail_after(c.failing_allocation);
    DeviceContext *context = nullptr;
    EXPECT_EQ(open_device(c.device, "gpu", &context), c.status);
    allocator_testing::fail_after(-1);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(testing_support::take_error_messages(), c.messages);
    EXPECT_EQ(allocator_testing::live_blocks(), live_blocks);
    EXPECT_EQ(mtl::emulator::counters().live_objects, live_objects);
  }
}

TEST_F(MetalOpenTest, EveryAllocationFailureLeavesNothing) {
  qx_test::FaultInjectionOff restore;
  const long live_blocks = qx_test::settled_live_blocks();
  const int64_t live_objects = mtl::emulator::counters().live_objects;
  bool opened = false;
  for (long n = 0; !opened && n < 100; ++n) {
    SCOPED_TRACE(n);
    error_stack_reset();
    allocator_testing::fail_after(n);
    DeviceContext *context = nullptr;
    const QxStatus status = open_device("gpu", "gpu", &context);
    allocator_testing::fail_after(-1);
    const Messages messages = testing_support::take_error_messages();
    if (status == QX_STATUS_SUCCESS) {
      opened = true;
      release_device_context(context);
    } else {
      EXPECT_EQ(status, QX_STATUS_OUT_OF_MEMORY);
      ASSERT_FALSE(messages.empty());
      EXPECT_TRUE(messages[0] == line(200, "Failed to allocate, out of memory.") ||
                  messages[0] == line(803, "Failed to allocate, out of memory."))
          << messages[0];
      EXPECT_EQ(messages.back(), generic_line(300));
    }
    EXPECT_EQ(allocator_testing::live_blocks(), live_blocks);
    EXPECT_EQ(mtl::emulator::counters().live_objects, live_objects);
  }
  EXPECT_TRUE(opened);
}

class MetalDispatchFailureTest : public metal_testing::MetalContextTest {};

TEST_F(MetalDispatchFailureTest, MissingCommandBufferOrEncoderIsAStateError) {
  TensorSet tensors(gpu_);
  TensorBuffer *a = tensors.make(Bytes(16, 1)), *b = tensors.make(Bytes(16, 2));
  const OperandBlock add = testing_support::make_block(kOpAddI16, {a, a, b}, {8, 0, 0, 0});
  const OperandBlock fill = testing_support::make_block(kOpZeroBytes, {a}, {8, 0});
  const struct {
    Step step;
    Opcode opcode;
    const OperandBlock *block;
  } cases[] = {
      {Step::kCommandBuffer, kOpAddI16, &add},
      {Step::kComputeEncoder, kOpAddI16, &add},
      {Step::kCommandBuffer, kOpZeroBytes, &fill},
      {Step::kBlitEncoder, kOpZeroBytes, &fill},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    map(gpu_, a, kMapRead);  // no command buffer open: the operator asks for one
    unmap(gpu_, a, 0);
    mtl::emulator::fail_step(c.step);
    EXPECT_EQ(run_operator(gpu_, c.opcode, c.block), QX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(testing_support::take_error_messages(), Messages{line(835, "Device state error.")});
    // The next operator finds the backend in order.
    EXPECT_EQ(run_operator(gpu_, c.opcode, c.block), QX_STATUS_SUCCESS);
  }
}

// Through the interpreter the failing operator adds its own line.
TEST_F(MetalDispatchFailureTest, ThreadgroupBeyondThePipelinesLimit) {
  release_device_context(gpu_);
  gpu_ = nullptr;
  mtl::emulator::set_pipeline_limits(32, 256);  // dense needs 32 x 16 threads per group
  ASSERT_EQ(open_device("gpu", "gpu", &gpu_), QX_STATUS_SUCCESS);
  TensorSet tensors(gpu_);
  TensorBuffer *set[] = {tensors.make(Bytes(8, 0)), tensors.make(Bytes(8, 0)),
                         tensors.make(Bytes(16, 1)), tensors.make(Bytes(4, 1))};
  const int32_t program[] = {kOpDenseI8, 0, 1, 2, 3, 1, 4, 4, 0, 0};
  EXPECT_EQ(run_program(gpu_, set, 4, program, 0, 10), QX_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(testing_support::take_error_messages(),
            (Messages{line(836, "Device state error."), line(801, "Failed to execute operator")}));
  // Other kernels fit the limit.
  const OperandBlock add = testing_support::make_block(kOpAddI16, {set[0], set[0], set[1]},
                                                       {4, 0, 0, 0});
  EXPECT_EQ(run_operator(gpu_, kOpAddI16, &add), QX_STATUS_SUCCESS);
}

// ---- Device list ----------------------------------------------------------------------

TEST_F(MetalOpenTest, ListsEveryMetalDeviceAfterTheCpu) {
  const std::vector<std::vector<std::string>> device_sets = {
      {}, {"Emulated GPU"}, {"AMD Radeon Pro 5500M", "Intel(R) UHD Graphics 630"}};
  for (const auto &names : device_sets) {
    mtl::emulator::set_device_names(names);
    char **devices = nullptr;
    int32_t count = -1;
    ASSERT_EQ(qx_orb_list_hardware_devices(&devices, &count), QX_STATUS_SUCCESS);
    ASSERT_EQ(count, static_cast<int32_t>(names.size()) + 1);
    EXPECT_EQ(std::string(devices[0]).rfind("cpu:[0-", 0), 0u) << devices[0];
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(devices[i + 1], "gpu:" + std::to_string(i) + " - " + names[i]);
    }
    qx_orb_free_hardware_devices(devices, count);
  }
  // Two devices listed, but only the default one opens.
  DeviceContext *context = nullptr;
  EXPECT_EQ(open_device("gpu:1", "gpu", &context), QX_STATUS_INVALID_ARGUMENT);
  testing_support::take_error_messages();
}

// The exported listing adds its own line when the Metal list fails.
TEST_F(MetalOpenTest, AFailingMetalListFailsTheListing) {
  qx_test::FaultInjectionOff restore;
  const long live_blocks = qx_test::settled_live_blocks();
  char **devices = nullptr;
  int32_t count = -1;
  allocator_testing::fail_after(2);  // the CPU list takes the first two
  EXPECT_EQ(qx_orb_list_hardware_devices(&devices, &count), QX_STATUS_OUT_OF_MEMORY);
  allocator_testing::fail_after(-1);
  EXPECT_EQ(devices, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(testing_support::take_error_messages(),
            (Messages{line(200, "Failed to allocate, out of memory."), generic_line(800)}));
  EXPECT_EQ(allocator_testing::live_blocks(), live_blocks);
}

TEST_F(MetalOpenTest, ListAllocationFailuresAreReported) {
  qx_test::FaultInjectionOff restore;
  mtl::emulator::set_device_names({"first", "second"});
  const long live_blocks = qx_test::settled_live_blocks();
  // The array, then each of the two strings.
  for (long n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    char **devices = nullptr;
    int32_t count = -1;
    allocator_testing::fail_after(n);
    EXPECT_EQ(metal_list_devices(&devices, &count), QX_STATUS_OUT_OF_MEMORY);
    allocator_testing::fail_after(-1);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(testing_support::take_error_messages(),
              Messages{line(200, "Failed to allocate, out of memory.")});
    EXPECT_EQ(allocator_testing::live_blocks(), live_blocks);
  }
}

}  // namespace
}  // namespace qx
