// The graph interpreter: range handling, operand assembly for every opcode,
// the truncation, index and opcode checks, the dispatch rule as seen through
// a program, error messages, and interpretations on two threads at once.
#include "runtime/graph_interpreter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/device_context.h"
#include "runtime_test_support.h"

namespace qx {
namespace {

using testing_support::clear_error_messages;
using testing_support::CpuContextTest;
using testing_support::take_error_messages;

const std::string kExecuteFailed = "da6b4f4 00000321: Failed to execute operator";

// ---- Test kernels on the CPU column ------------------------------------------

struct KernelLog {
  int calls = 0;
  OperandBlock last{};
  const OperandBlock *last_address = nullptr;
};
KernelLog g_kernel_log[kOpcodeCount];
QxStatus g_kernel_status = QX_STATUS_SUCCESS;

template <int kOpcode>
QxStatus recording_kernel(void *, void *, const OperandBlock *operands) {
  KernelLog &log = g_kernel_log[kOpcode];
  log.calls += 1;
  log.last = *operands;
  log.last_address = operands;
  return g_kernel_status;
}

template <size_t... kOpcodes>
constexpr std::array<DeviceOpFn, kOpcodeCount> recording_kernels(std::index_sequence<kOpcodes...>) {
  return {recording_kernel<static_cast<int>(kOpcodes)>...};
}
constexpr std::array<DeviceOpFn, kOpcodeCount> kRecordingKernels =
    recording_kernels(std::make_index_sequence<kOpcodeCount>());

// Tests that put kernels or reference spies into the operation table get the
// original entries back afterwards.
class InterpreterTest : public CpuContextTest {
 protected:
  void SetUp() override {
    CpuContextTest::SetUp();
    OperationTable &table = operation_table();
    std::memcpy(saved_device_op_, table.device_op, sizeof(saved_device_op_));
    std::memcpy(saved_reference_op_, table.reference_op, sizeof(saved_reference_op_));
    for (KernelLog &log : g_kernel_log) log = KernelLog{};
    g_kernel_status = QX_STATUS_SUCCESS;
    clear_error_messages();
  }
  void TearDown() override {
    OperationTable &table = operation_table();
    std::memcpy(table.device_op, saved_device_op_, sizeof(saved_device_op_));
    std::memcpy(table.reference_op, saved_reference_op_, sizeof(saved_reference_op_));
    CpuContextTest::TearDown();
  }
  void install_recording_kernels() {
    for (int opcode = 0; opcode < kOpcodeCount; ++opcode) {
      operation_table().device_op[opcode][kDeviceCpu] = kRecordingKernels[opcode];
    }
  }
  int total_kernel_calls() const {
    int calls = 0;
    for (const KernelLog &log : g_kernel_log) calls += log.calls;
    return calls;
  }
  QxStatus run(const std::vector<TensorBuffer *> &tensors, const std::vector<int32_t> &program,
               int32_t start, int32_t end) {
    return run_program(context_, tensors.data(), static_cast<int32_t>(tensors.size()),
                       program.data(), start, end);
  }

 private:
  DeviceOpFn saved_device_op_[kOpcodeCount][kDeviceTypeCount];
  ReferenceOpFn saved_reference_op_[kOpcodeTableSize];
};

// ---- Ranges -----------------------------------------------------------------------

TEST_F(InterpreterTest, EmptyRangesRunNothing) {
  TensorBuffer *t = make_tensor(8, 0x11);
  const std::vector<int32_t> program = {9, 0, 8, 0};
  EXPECT_EQ(run({t}, program, 0, 0), QX_STATUS_SUCCESS);
  EXPECT_EQ(run({t}, program, 4, 4), QX_STATUS_SUCCESS);
  EXPECT_EQ(run({t}, program, 4, 0), QX_STATUS_SUCCESS);
  EXPECT_EQ(run_program(context_, nullptr, 0, nullptr, 3, -3), QX_STATUS_SUCCESS);
  EXPECT_EQ(contents<uint8_t>(t), std::vector<uint8_t>(8, 0x11));
}

TEST_F(InterpreterTest, OneZeroBytesInstructionClearsItsBytes) {
  TensorBuffer *t = make_tensor(8, 0x11);
  ASSERT_EQ(run({t}, {9, 0, 3, 2}, 0, 4), QX_STATUS_SUCCESS);
  EXPECT_EQ(contents<uint8_t>(t), (std::vector<uint8_t>{0x11, 0x11, 0, 0, 0, 0x11, 0x11, 0x11}));
}

// ---- Operand assembly and truncation, every opcode ------------------------------

// One instruction per opcode, operand i naming tensor i + 1 and immediate j
// holding 100 + j: the kernel must see exactly those, in order. Every range
// that ends inside the instruction is refused before anything runs.
TEST_F(InterpreterTest, EveryOpcodeGetsItsOperandsAndTruncationIsRefused) {
  install_recording_kernels();
  std::vector<TensorBuffer *> tensors;
  for (int i = 0; i < 6; ++i) tensors.push_back(make_tensor(16));
  for (int opcode = 0; opcode < kOpcodeCount; ++opcode) {
    const OpcodeDescriptor &d = kOpcodeDescriptors[opcode];
    std::vector<int32_t> program = {opcode};
    for (int i = 0; i < d.tensor_count; ++i) program.push_back(i + 1);
    for (int j = 0; j < d.immediate_count; ++j) program.push_back(100 + j);
    const int32_t length = static_cast<int32_t>(program.size());
    // Words past the range, valid as indexes and immediates, must not be read.
    program.insert(program.end(), 12, 1);
    for (int32_t end = 1; end < length; ++end) {
      EXPECT_EQ(run(tensors, program, 0, end), QX_STATUS_INVALID_ARGUMENT)
          << "opcode " << opcode << " cut at " << end;
      // The same words in an array that ends with the range: no read past it
      // (which the address sanitizer would report).
      const std::vector<int32_t> cut(program.begin(), program.begin() + end);
      EXPECT_EQ(run(tensors, cut, 0, end), QX_STATUS_INVALID_ARGUMENT);
    }
    EXPECT_EQ(total_kernel_calls(), 0) << "opcode " << opcode;
    EXPECT_TRUE(take_error_messages().empty()) << "truncation is reported by the caller";

    ASSERT_EQ(run(tensors, program, 0, length), QX_STATUS_SUCCESS) << "opcode " << opcode;
    const KernelLog &log = g_kernel_log[opcode];
    ASSERT_EQ(log.calls, 1) << "opcode " << opcode;
    for (int i = 0; i < d.tensor_count; ++i) {
      EXPECT_EQ(log.last.tensor(i), tensors[static_cast<size_t>(i + 1)]) << "opcode " << opcode;
    }
    for (int j = 0; j < d.immediate_count; ++j) {
      EXPECT_EQ(log.last.immediate(d.tensor_count, j), 100 + j) << "opcode " << opcode;
    }
    g_kernel_log[opcode].calls = 0;
  }
}

// ---- Index and opcode checks --------------------------------------------------------

TEST_F(InterpreterTest, BadTensorIndexesAndOpcodeWordsAreRefusedSilently) {
  install_recording_kernels();
  TensorBuffer *a = make_tensor(8, 0x11);
  TensorBuffer *b = make_tensor(8, 0x22);
  // The tensor set is the first `count` entries; the array goes on with
  // valid tensors so that only the count can refuse an index past it.
  const std::vector<TensorBuffer *> set = {a, b, a, b};
  struct Case {
    const char *name;
    std::vector<int32_t> program;
    int32_t count;
  };
  const Case cases[] = {
      {"index equal to the count", {8, 0, 2, 4, 0, 0}, 2},
      {"negative index", {8, -1, 1, 4, 0, 0}, 2},
      {"lowest index", {8, 0, INT32_MIN, 4, 0, 0}, 2},
      {"no tensors", {9, 0, 4, 0}, 0},
      {"negative count", {9, 0, 4, 0}, -1},
      {"opcode -1", {-1, 0, 4, 0}, 2},
      {"opcode 16", {16, 0, 4, 0}, 2},
      {"opcode 1000", {1000, 0, 4, 0}, 2},
      {"lowest opcode", {INT32_MIN, 0, 4, 0}, 2},
      {"highest opcode", {INT32_MAX, 0, 4, 0}, 2},
  };
  for (const Case &c : cases) {
    const int32_t end = static_cast<int32_t>(c.program.size());
    EXPECT_EQ(run_program(context_, set.data(), c.count, c.program.data(), 0, end),
              QX_STATUS_INVALID_ARGUMENT)
        << c.name;
    EXPECT_EQ(total_kernel_calls(), 0) << c.name;
    EXPECT_TRUE(take_error_messages().empty()) << c.name;
  }
  // A null entry in the set is refused like a bad index.
  EXPECT_EQ(run({a, nullptr}, {8, 0, 1, 4, 0, 0}, 0, 6), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(total_kernel_calls(), 0);
  // The highest valid index is accepted.
  EXPECT_EQ(run({a, b}, {8, 1, 0, 4, 0, 0}, 0, 6), QX_STATUS_SUCCESS);
  EXPECT_EQ(g_kernel_log[kOpCopyBytes].calls, 1);
}

TEST_F(InterpreterTest, EarlierInstructionsKeepTheirEffects) {
  TensorBuffer *t = make_tensor(8, 0x11);
  // zero_bytes, then a bad opcode word, then another zero_bytes.
  const std::vector<int32_t> program = {9, 0, 2, 0, 77, 9, 0, 8, 0};
  EXPECT_EQ(run({t}, program, 0, 9), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(contents<uint8_t>(t), (std::vector<uint8_t>{0, 0, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
}

TEST_F(InterpreterTest, OpcodeFifteenFailsWithTheExecuteMessage) {
  TensorBuffer *t = make_tensor(8, 0x11);
  EXPECT_EQ(run({t}, {15, 9, 0, 8, 0}, 0, 5), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_messages(), std::vector<std::string>{kExecuteFailed});
  EXPECT_EQ(contents<uint8_t>(t), std::vector<uint8_t>(8, 0x11));  // the rest did not run
}

TEST_F(InterpreterTest, AFailingReferenceOperatorReportsExecute) {
  TensorBuffer *t = make_tensor(8, 0x11);
  // zero_bytes of 9 bytes in an 8-byte tensor, then one that would succeed.
  EXPECT_EQ(run({t}, {9, 0, 9, 0, 9, 0, 8, 0}, 0, 8), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(take_error_messages(), std::vector<std::string>{kExecuteFailed});
  EXPECT_EQ(contents<uint8_t>(t), std::vector<uint8_t>(8, 0x11));
}

// ---- The dispatch rule through a program --------------------------------------------

const OperandBlock *g_reference_block = nullptr;
int g_reference_calls = 0;

TEST_F(InterpreterTest, KernelStatusDecidesWhetherTheReferenceRuns) {
  struct Case {
    const char *name;
    QxStatus kernel_status;
    bool reference_only;
    QxStatus result;
    int kernel_calls;
    bool reference_runs;
  };
  const Case cases[] = {
      {"kernel did the work", QX_STATUS_SUCCESS, false, QX_STATUS_SUCCESS, 1, false},
      {"kernel declines", QX_STATUS_INVALID_ARGUMENT, false, QX_STATUS_SUCCESS, 1, true},
      {"kernel fails", QX_STATUS_RUNTIME_ERROR, false, QX_STATUS_RUNTIME_ERROR, 1, false},
      {"kernel out of memory", QX_STATUS_OUT_OF_MEMORY, false, QX_STATUS_OUT_OF_MEMORY, 1, false},
      {"reference only", QX_STATUS_RUNTIME_ERROR, true, QX_STATUS_SUCCESS, 0, true},
  };
  static ReferenceOpFn real_add_i16;
  real_add_i16 = operation_table().reference_op[kOpAddI16];
  // The spy records the block it is given, then runs the real operator.
  operation_table().reference_op[kOpAddI16] = [](DeviceContext *context,
                                                 const OperandBlock *operands) {
    g_reference_block = operands;
    g_reference_calls += 1;
    return real_add_i16(context, operands);
  };
  operation_table().device_op[kOpAddI16][kDeviceCpu] = kRecordingKernels[kOpAddI16];
  for (const Case &c : cases) {
    g_kernel_status = c.kernel_status;
    g_kernel_log[kOpAddI16] = KernelLog{};
    g_reference_block = nullptr;
    g_reference_calls = 0;
    context_->flags = c.reference_only ? kContextReferenceOnly : 0;
    clear_error_messages();
    TensorBuffer *out = make_tensor(std::vector<int16_t>{0, 0});
    TensorBuffer *in = make_tensor(std::vector<int16_t>{30000, -7});
    EXPECT_EQ(run({out, in}, {1, 0, 1, 1, 2, 0, 0, 0}, 0, 8), c.result) << c.name;
    EXPECT_EQ(g_kernel_log[kOpAddI16].calls, c.kernel_calls) << c.name;
    EXPECT_EQ(g_reference_calls, c.reference_runs ? 1 : 0) << c.name;
    if (c.reference_runs && c.kernel_calls) {
      EXPECT_EQ(g_reference_block, g_kernel_log[kOpAddI16].last_address) << c.name;
    }
    const std::vector<int16_t> expected =
        c.reference_runs ? std::vector<int16_t>{32767, -14} : std::vector<int16_t>{0, 0};
    EXPECT_EQ(contents<int16_t>(out), expected) << c.name;
    const std::vector<std::string> messages = take_error_messages();
    if (c.result == QX_STATUS_SUCCESS) {
      EXPECT_TRUE(messages.empty()) << c.name;
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{kExecuteFailed}) << c.name;
    }
  }
}

// ---- The voice detector's program ------------------------------------------------------

// Its 20 tensors (sizes in bytes) and 110 words: a reset range [0, 16) and a
// step range [16, 110).
const int32_t kDetectorTensorBytes[20] = {8,     160, 480,   4,   160,   160, 160,
                                          160,   80,  80,    19200, 240, 19200, 240,
                                          19200, 240, 19200, 240, 160,  2};
const std::vector<int32_t> kDetectorProgram = {
    9,  4,  160, 0,  9,  5,  160, 0,  9,  6,  160, 0, 9,  7,  160, 0,  13, 1,  1,   8,  9,  2,
    40, 0,  0,   3,  2,  1,  10,  11, 1,  240, 80,  0, 0,  2,  2,   4,  12, 13, 1,   240, 80, 0,
    0,  6,  1,   5,  2,  80, 0,   0,  0,  8,   4,   1, 160, 0, 0,   3,  2,  1,  14,  15, 1,  240,
    80, 0,  0,   2,  2,  6,  16,  17, 1,  240, 80,  0, 0,  6,  1,   7,  2,  80, 0,   0,  0,  8,
    6,  1,  160, 0,  0,  3,  3,   1,  18, 19,  1,   2, 80, 0,  0,   12, 0,  3,  1,   2,  0,  0};
// Where each of its fifteen instructions starts, and the end.
const int32_t kDetectorInstructionStarts[] = {0,  4,  8,  12, 16, 25, 35, 45,
                                              53, 59, 69, 79, 87, 93, 103, 110};

class DetectorProgramTest : public InterpreterTest {
 protected:
  // Three detectors with identical random weights and recurrent state.
  void SetUp() override {
    InterpreterTest::SetUp();
    std::mt19937 random(1234);
    for (auto &set : sets_) set.clear();
    for (int32_t bytes : kDetectorTensorBytes) {
      std::vector<uint8_t> values(static_cast<size_t>(bytes));
      for (uint8_t &v : values) v = static_cast<uint8_t>(random());
      for (auto &set : sets_) set.push_back(make_tensor(values));
    }
  }
  // Fresh features for the next chunk: int16 values like the front end's.
  void feed_chunk(std::mt19937 &random) {
    std::uniform_int_distribution<int> feature(-12000, -4000);
    std::vector<int16_t> values(80);
    for (int16_t &v : values) v = static_cast<int16_t>(feature(random));
    for (auto &set : sets_) std::memcpy(set[1]->data, values.data(), 160);
  }
  void expect_equal_to_first_set(int set, const char *when) {
    for (size_t t = 0; t < sets_[0].size(); ++t) {
      EXPECT_EQ(contents<uint8_t>(sets_[set][t]), contents<uint8_t>(sets_[0][t]))
          << when << ", set " << set << ", tensor " << t;
    }
  }
  std::vector<TensorBuffer *> sets_[3];
};

// The detector runs its program as a reset range and then step ranges (set
// 0); that must equal running each instruction as a range of its own (set 1),
// and reset and first step as one range (set 2).
TEST_F(DetectorProgramTest, TwoRangesEqualEachInstructionInTurn) {
  const int32_t words = static_cast<int32_t>(kDetectorProgram.size());
  ASSERT_EQ(words, 110);
  auto each_instruction = [&](int32_t start, int32_t end) {
    for (size_t i = 0; i + 1 < std::size(kDetectorInstructionStarts); ++i) {
      const int32_t first = kDetectorInstructionStarts[i];
      if (first < start || first >= end) continue;
      ASSERT_EQ(run(sets_[1], kDetectorProgram, first, kDetectorInstructionStarts[i + 1]), 0)
          << "instruction at word " << first;
    }
  };
  ASSERT_EQ(run(sets_[0], kDetectorProgram, 0, 16), 0);
  each_instruction(0, 16);
  expect_equal_to_first_set(1, "after the reset");
  for (size_t state = 4; state < 8; ++state) {
    EXPECT_EQ(contents<uint8_t>(sets_[0][state]), std::vector<uint8_t>(160, 0));
  }

  std::mt19937 random(99);
  for (int chunk = 0; chunk < 3; ++chunk) {
    feed_chunk(random);  // the reset leaves the features alone
    ASSERT_EQ(run(sets_[0], kDetectorProgram, 16, words), 0);
    each_instruction(16, words);
    ASSERT_EQ(run(sets_[2], kDetectorProgram, chunk == 0 ? 0 : 16, words), 0);
    expect_equal_to_first_set(1, "after a step");
    expect_equal_to_first_set(2, "after a step");
    // Two Q31 probabilities that add up to one.
    const std::vector<int32_t> p = contents<int32_t>(sets_[0][0]);
    EXPECT_GE(p[1], 0);
    EXPECT_NEAR(static_cast<double>(p[0]) + p[1], 2147483648.0, 4.0);
  }
}

// ---- Two interpretations at once ----------------------------------------------------------

// Both threads' kernels read their immediates, wait until the other thread's
// kernel has started too (so both blocks have been assembled), and read them
// again: a block shared between interpretations would have changed.
std::mutex g_meeting_mutex;
std::condition_variable g_meeting;
int g_arrived = 0;
bool g_block_changed = false;
bool g_meeting_timed_out = false;

QxStatus meeting_kernel(void *, void *, const OperandBlock *operands) {
  const int32_t before = operands->immediate(1, 0);
  {
    std::unique_lock<std::mutex> lock(g_meeting_mutex);
    g_arrived += 1;
    g_meeting.notify_all();
    if (!g_meeting.wait_for(lock, std::chrono::seconds(20), [] { return g_arrived >= 2; })) {
      g_meeting_timed_out = true;
    }
  }
  if (operands->immediate(1, 0) != before) {
    std::lock_guard<std::mutex> lock(g_meeting_mutex);
    g_block_changed = true;
  }
  return QX_STATUS_INVALID_ARGUMENT;  // let the reference clear the bytes
}

TEST_F(InterpreterTest, InterpretationsOnTwoThreadsDoNotShareOperands) {
  operation_table().device_op[kOpZeroBytes][kDeviceCpu] = meeting_kernel;
  DeviceContext *other = nullptr;
  ASSERT_EQ(open_device("cpu:1", "cpu:1", &other), QX_STATUS_SUCCESS);
  TensorBuffer *mine = make_tensor(32, 0x11);
  TensorBuffer *theirs = tensor_alloc(other, 32, 0);
  ASSERT_NE(theirs, nullptr);
  std::memset(theirs->data, 0x22, 32);
  QxStatus their_status = QX_STATUS_RUNTIME_ERROR;
  std::thread thread([&] {
    const int32_t program[] = {9, 0, 24, 0};
    their_status = run_program(other, &theirs, 1, program, 0, 4);
  });
  const QxStatus my_status = run({mine}, {9, 0, 8, 0}, 0, 4);
  thread.join();
  EXPECT_EQ(my_status, QX_STATUS_SUCCESS);
  EXPECT_EQ(their_status, QX_STATUS_SUCCESS);
  EXPECT_FALSE(g_meeting_timed_out);
  EXPECT_FALSE(g_block_changed);
  const std::vector<uint8_t> my_bytes = contents<uint8_t>(mine);
  EXPECT_EQ(std::count(my_bytes.begin(), my_bytes.end(), 0), 8);
  const std::vector<uint8_t> their_bytes = contents<uint8_t>(theirs);
  EXPECT_EQ(std::count(their_bytes.begin(), their_bytes.end(), 0), 24);
  tensor_free(other, theirs);
  release_device_context(other);
}

}  // namespace
}  // namespace qx
