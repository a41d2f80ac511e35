// The graph interpreter: ranges, operand assembly for every opcode, the
// truncation, index and opcode checks, the dispatch rule seen through a
// program, its messages, and two interpretations at the same time.
#include "runtime/graph_interpreter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "runtime_test_support.h"

namespace qx {
namespace {

using namespace testing_support;  // NOLINT: tensor literals
using Bytes = std::vector<uint8_t>;

const std::vector<std::string> kExecuteFailed = {"da6b4f4 00000321: Failed to execute operator"};

// Test kernels for the CPU column: they log their calls and return a status.
struct KernelLog {
  int calls = 0;
  OperandBlock block{};
  const OperandBlock *address = nullptr;
};
KernelLog g_log[kOpcodeCount];
QxStatus g_kernel_status = QX_STATUS_SUCCESS;

template <int kOpcode>
QxStatus logging_kernel(void *, void *, const OperandBlock *operands) {
  g_log[kOpcode] = {g_log[kOpcode].calls + 1, *operands, operands};
  return g_kernel_status;
}
template <size_t... kOpcodes>
constexpr std::array<DeviceOpFn, kOpcodeCount> logging_kernels(std::index_sequence<kOpcodes...>) {
  return {logging_kernel<static_cast<int>(kOpcodes)>...};
}
constexpr auto kLoggingKernels = logging_kernels(std::make_index_sequence<kOpcodeCount>());

class InterpreterTest : public CpuContextTest {
 protected:
  void SetUp() override {
    CpuContextTest::SetUp();
    saved_ = operation_table();
    for (KernelLog &log : g_log) log = KernelLog{};
    g_kernel_status = QX_STATUS_SUCCESS;
  }
  void TearDown() override {
    operation_table() = saved_;  // drops the test kernels and spies
    CpuContextTest::TearDown();
  }
  void install_logging_kernels() {
    for (int op = 0; op < kOpcodeCount; ++op)
      operation_table().device_op[op][kDeviceCpu] = kLoggingKernels[op];
  }
  static int kernel_calls() {
    int calls = 0;
    for (const KernelLog &log : g_log) calls += log.calls;
    return calls;
  }
  QxStatus run(const std::vector<TensorBuffer *> &t, const std::vector<int32_t> &program,
               int32_t start, int32_t end) {
    return run_program(context_, t.data(), static_cast<int32_t>(t.size()), program.data(), start,
                       end);
  }

 private:
  OperationTable saved_;
};

TEST_F(InterpreterTest, RangesAndOneZeroBytesInstruction) {
  TensorBuffer *t = make_tensor(Bytes(8, 0x11));
  const std::vector<int32_t> program = {9, 0, 3, 2};
  EXPECT_EQ(run({t}, program, 0, 0), QX_STATUS_SUCCESS);
  EXPECT_EQ(run({t}, program, 4, 0), QX_STATUS_SUCCESS);
  EXPECT_EQ(run_program(context_, nullptr, 0, nullptr, 3, -3), QX_STATUS_SUCCESS);
  EXPECT_EQ(bytes_of(t), Bytes(8, 0x11));
  ASSERT_EQ(run({t}, program, 0, 4), QX_STATUS_SUCCESS);
  EXPECT_EQ(bytes_of(t), Bytes({0x11, 0x11, 0, 0, 0, 0x11, 0x11, 0x11}));
}

// Per opcode, operand i names tensor i + 1 and immediate j holds 100 + j; the
// kernel must see exactly that. A range that ends inside the instruction is
// refused silently before anything runs, also when the array ends there.
TEST_F(InterpreterTest, EveryOpcodeGetsItsOperandsAndTruncationIsRefused) {
  install_logging_kernels();
  std::vector<TensorBuffer *> t;
  for (int i = 0; i < 6; ++i) t.push_back(make_tensor(Bytes(16)));
  for (int op = 0; op < kOpcodeCount; ++op) {
    const OpcodeDescriptor &d = kOpcodeDescriptors[op];
    std::vector<int32_t> program = {op};
    for (int i = 0; i < d.tensor_count; ++i) program.push_back(i + 1);
    for (int j = 0; j < d.immediate_count; ++j) program.push_back(100 + j);
    const int32_t length = static_cast<int32_t>(program.size());
    program.insert(program.end(), 12, 1);  // valid words past the range
    for (int32_t end = 1; end < length; ++end) {
      EXPECT_EQ(run(t, program, 0, end), QX_STATUS_INVALID_ARGUMENT)
          << "opcode " << op << " to " << end;
      EXPECT_EQ(run(t, std::vector<int32_t>(program.begin(), program.begin() + end), 0, end),
                QX_STATUS_INVALID_ARGUMENT);
    }
    EXPECT_EQ(kernel_calls(), 0) << "opcode " << op;
    EXPECT_TRUE(take_error_messages().empty());
    ASSERT_EQ(run(t, program, 0, length), QX_STATUS_SUCCESS);
    ASSERT_EQ(g_log[op].calls, 1) << "opcode " << op;
    for (int i = 0; i < d.tensor_count; ++i) EXPECT_EQ(g_log[op].block.tensor(i), t[i + 1u]) << op;
    for (int j = 0; j < d.immediate_count; ++j) {
      EXPECT_EQ(g_log[op].block.immediate(d.tensor_count, j), 100 + j) << "opcode " << op;
    }
    g_log[op].calls = 0;
  }
}

TEST_F(InterpreterTest, BadIndexesAndOpcodeWordsAreRefusedSilently) {
  install_logging_kernels();
  TensorBuffer *a = make_tensor(Bytes(8, 0x11));
  // The set is the first `count` entries; valid ones follow, so only the
  // count can refuse an index past it.
  const std::vector<TensorBuffer *> set = {a, a, a, a};
  const struct {
    const char *name;
    std::vector<int32_t> program;
    int32_t count;
  } cases[] = {
      {"index equal to the count", {8, 0, 2, 4, 0, 0}, 2},
      {"negative index", {8, -1, 1, 4, 0, 0}, 2},
      {"lowest index", {8, 0, INT32_MIN, 4, 0, 0}, 2},
      {"negative count", {9, 0, 4, 0}, -1},
      {"opcode -1", {-1, 0, 4, 0}, 2},
      {"opcode 16", {16, 0, 4, 0}, 2},
      {"lowest opcode", {INT32_MIN, 0, 4, 0}, 2},
      {"highest opcode", {INT32_MAX, 0, 4, 0}, 2},
  };
  for (const auto &c : cases) {
    const int32_t end = static_cast<int32_t>(c.program.size());
    EXPECT_EQ(run_program(context_, set.data(), c.count, c.program.data(), 0, end),
              QX_STATUS_INVALID_ARGUMENT)
        << c.name;
  }
  EXPECT_EQ(run({a, nullptr}, {8, 0, 1, 4, 0, 0}, 0, 6),
            QX_STATUS_INVALID_ARGUMENT);  // a null entry
  EXPECT_EQ(kernel_calls(), 0);
  EXPECT_TRUE(take_error_messages().empty());
  EXPECT_EQ(run({a, a}, {8, 1, 0, 4, 0, 0}, 0, 6), QX_STATUS_SUCCESS);  // the highest index
}

// Failing operators push the execute message; what ran before stays done.
TEST_F(InterpreterTest, FailuresReportExecuteAndKeepEarlierEffects) {
  TensorBuffer *t = make_tensor(Bytes(8, 0x11));
  const struct {
    const char *name;
    std::vector<int32_t> program;
    std::vector<std::string> messages;
  } cases[] = {
      {"opcode 15", {9, 0, 1, 0, 15, 9, 0, 8, 0}, kExecuteFailed},
      {"zero_bytes past the end", {9, 0, 1, 0, 9, 0, 9, 0, 9, 0, 8, 0}, kExecuteFailed},
      {"opcode 77", {9, 0, 1, 0, 77, 9, 0, 8, 0}, {}},
  };
  for (const auto &c : cases) {
    std::memset(t->data, 0x11, 8);
    EXPECT_EQ(run({t}, c.program, 0, static_cast<int32_t>(c.program.size())),
              QX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_error_messages(), c.messages) << c.name;
    EXPECT_EQ(bytes_of(t), Bytes({0, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11})) << c.name;
  }
}

const OperandBlock *g_reference_block;
ReferenceOpFn g_real_add_i16;

TEST_F(InterpreterTest, KernelStatusDecidesWhetherTheReferenceRuns) {
  g_real_add_i16 = operation_table().reference_op[kOpAddI16];
  operation_table().reference_op[kOpAddI16] = [](DeviceContext *context,
                                                 const OperandBlock *operands) {
    g_reference_block = operands;
    return g_real_add_i16(context, operands);
  };
  operation_table().device_op[kOpAddI16][kDeviceCpu] = kLoggingKernels[kOpAddI16];
  const struct {
    const char *name;
    QxStatus kernel_status;
    uint32_t flags;
    QxStatus result;
    bool reference_runs;
  } cases[] = {
      {"kernel did the work", QX_STATUS_SUCCESS, 0, QX_STATUS_SUCCESS, false},
      {"kernel declines", QX_STATUS_INVALID_ARGUMENT, 0, QX_STATUS_SUCCESS, true},
      {"kernel fails", QX_STATUS_RUNTIME_ERROR, 0, QX_STATUS_RUNTIME_ERROR, false},
      {"kernel out of memory", QX_STATUS_OUT_OF_MEMORY, 0, QX_STATUS_OUT_OF_MEMORY, false},
      {"reference only", QX_STATUS_RUNTIME_ERROR, kContextReferenceOnly, QX_STATUS_SUCCESS, true},
  };
  for (const auto &c : cases) {
    g_kernel_status = c.kernel_status;
    g_log[kOpAddI16] = KernelLog{};
    g_reference_block = nullptr;
    context_->flags = c.flags;
    TensorBuffer *out = make_tensor(i16({0, 0}));
    EXPECT_EQ(run({out, make_tensor(i16({30000, -7}))}, {1, 0, 1, 1, 2, 0, 0, 0}, 0, 8), c.result)
        << c.name;
    EXPECT_EQ(g_log[kOpAddI16].calls, c.flags ? 0 : 1) << c.name;
    EXPECT_EQ(bytes_of(out), c.reference_runs ? i16({32767, -14}) : i16({0, 0})) << c.name;
    EXPECT_EQ(g_reference_block != nullptr, c.reference_runs) << c.name;
    if (c.reference_runs && !c.flags) {
      EXPECT_EQ(g_reference_block, g_log[kOpAddI16].address) << c.name;
    }
    EXPECT_EQ(take_error_messages(), c.result ? kExecuteFailed : std::vector<std::string>{})
        << c.name;
  }
}

// The voice detector's program: a reset range [0, 16) and a step range
// [16, 110) over 20 tensors of these sizes.
const int32_t kDetectorBytes[20] = {8,     160, 480,   4,   160,   160, 160,   160, 80,  80,
                                    19200, 240, 19200, 240, 19200, 240, 19200, 240, 160, 2};
const std::vector<int32_t> kDetectorProgram = {
    9,  4, 160, 0, 9, 5,  160, 0,  9,  6,   160, 0, 9,   7, 160, 0,  13, 1,  1,  8,   9,  2,
    40, 0, 0,   3, 2, 1,  10,  11, 1,  240, 80,  0, 0,   2, 2,   4,  12, 13, 1,  240, 80, 0,
    0,  6, 1,   5, 2, 80, 0,   0,  0,  8,   4,   1, 160, 0, 0,   3,  2,  1,  14, 15,  1,  240,
    80, 0, 0,   2, 2, 6,  16,  17, 1,  240, 80,  0, 0,   6, 1,   7,  2,  80, 0,  0,   0,  8,
    6,  1, 160, 0, 0, 3,  3,   1,  18, 19,  1,   2, 80,  0, 0,   12, 0,  3,  1,  2,   0,  0};
const int32_t kDetectorInstructionStarts[] = {0,  4,  8,  12, 16, 25, 35,  45,
                                              53, 59, 69, 79, 87, 93, 103, 110};

// Set 0 runs the two ranges, set 1 each instruction as a range of its own,
// set 2 reset and first step as one range; all start from the same random
// tensors and must stay byte-identical over several chunks.
TEST_F(InterpreterTest, DetectorProgramInTwoRangesEqualsEachInstructionInTurn) {
  std::mt19937 random(1234);
  std::vector<TensorBuffer *> sets[3];
  for (int32_t size : kDetectorBytes) {
    Bytes contents(static_cast<size_t>(size));
    for (uint8_t &b : contents) b = static_cast<uint8_t>(random());
    for (auto &set : sets) set.push_back(make_tensor(contents));
  }
  auto each_instruction = [&](int32_t start, int32_t end) {
    for (size_t i = 0; i + 1 < std::size(kDetectorInstructionStarts); ++i) {
      const int32_t first = kDetectorInstructionStarts[i];
      if (first >= start && first < end) {
        ASSERT_EQ(run(sets[1], kDetectorProgram, first, kDetectorInstructionStarts[i + 1]), 0)
            << first;
      }
    }
  };
  ASSERT_EQ(run(sets[0], kDetectorProgram, 0, 16), 0);
  each_instruction(0, 16);
  for (size_t state = 4; state < 8; ++state) EXPECT_EQ(bytes_of(sets[0][state]), Bytes(160, 0));
  std::uniform_int_distribution<int> feature(-12000, -4000);
  for (int chunk = 0; chunk < 3; ++chunk) {
    for (int i = 0; i < 80; ++i) {
      const int16_t value = static_cast<int16_t>(feature(random));
      for (auto &set : sets) std::memcpy(static_cast<int16_t *>(set[1]->data) + i, &value, 2);
    }
    ASSERT_EQ(run(sets[0], kDetectorProgram, 16, 110), 0);
    each_instruction(16, 110);
    ASSERT_EQ(run(sets[2], kDetectorProgram, chunk == 0 ? 0 : 16, 110), 0);
    for (size_t t = 0; t < 20; ++t) {
      EXPECT_EQ(bytes_of(sets[1][t]), bytes_of(sets[0][t])) << "chunk " << chunk << " tensor " << t;
      EXPECT_EQ(bytes_of(sets[2][t]), bytes_of(sets[0][t])) << "chunk " << chunk << " tensor " << t;
    }
    const int32_t *p = static_cast<const int32_t *>(sets[0][0]->data);
    EXPECT_NEAR(static_cast<double>(p[0]) + p[1], 2147483648.0, 4.0);  // two Q31 probabilities
  }
}

// Each thread's kernel reads its immediate, waits until the other thread's
// kernel has started (so both blocks are assembled) and reads it again: a
// block shared between interpretations would have changed under it.
std::mutex g_mutex;
std::condition_variable g_meeting;
int g_arrived;
bool g_block_changed, g_timed_out;

QxStatus meeting_kernel(void *, void *, const OperandBlock *operands) {
  const int32_t before = operands->immediate(1, 0);
  std::unique_lock<std::mutex> lock(g_mutex);
  g_arrived += 1;
  g_meeting.notify_all();
  if (!g_meeting.wait_for(lock, std::chrono::seconds(20), [] { return g_arrived == 2; }))
    g_timed_out = true;
  if (operands->immediate(1, 0) != before) g_block_changed = true;
  return QX_STATUS_INVALID_ARGUMENT;  // the reference clears the bytes
}

TEST_F(InterpreterTest, InterpretationsOnTwoThreadsDoNotShareOperands) {
  operation_table().device_op[kOpZeroBytes][kDeviceCpu] = meeting_kernel;
  g_arrived = 0;
  g_block_changed = g_timed_out = false;
  DeviceContext *other = nullptr;
  ASSERT_EQ(open_device("cpu:1", "cpu:1", &other), QX_STATUS_SUCCESS);
  TensorBuffer *mine = make_tensor(Bytes(32, 0x11));
  TensorBuffer *theirs = tensor_alloc(other, 32, 0);
  std::memset(theirs->data, 0x22, 32);
  QxStatus their_status = QX_STATUS_RUNTIME_ERROR;
  std::thread thread([&] {
    const int32_t program[] = {9, 0, 24, 0};
    their_status = run_program(other, &theirs, 1, program, 0, 4);
  });
  EXPECT_EQ(run({mine}, {9, 0, 8, 0}, 0, 4), QX_STATUS_SUCCESS);
  thread.join();
  EXPECT_EQ(their_status, QX_STATUS_SUCCESS);
  EXPECT_FALSE(g_timed_out);
  EXPECT_FALSE(g_block_changed);
  Bytes expected_mine(32, 0x11), expected_theirs(32, 0x22);
  std::fill_n(expected_mine.begin(), 8, 0);
  std::fill_n(expected_theirs.begin(), 24, 0);
  EXPECT_EQ(bytes_of(mine), expected_mine);
  EXPECT_EQ(bytes_of(theirs), expected_theirs);
  tensor_free(other, theirs);
  release_device_context(other);
}

}  // namespace
}  // namespace qx
