// Shared helpers of the runtime tests: a single-threaded CPU context, tensors
// filled from vectors, operand blocks from lists, the error stack as strings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "cpu/device_selection.h"
#include "engine/error_stack.h"
#include "qx_orb.h"
#include "runtime/device_context.h"
#include "runtime/opcodes.h"

namespace qx {
namespace testing_support {

inline OperandBlock make_block(Opcode opcode, std::initializer_list<TensorBuffer *> tensors,
                               std::initializer_list<int32_t> immediates) {
  OperandBlock block{};
  const OpcodeDescriptor &descriptor = kOpcodeDescriptors[opcode];
  EXPECT_EQ(static_cast<int32_t>(tensors.size()), descriptor.tensor_count) << "opcode " << opcode;
  EXPECT_EQ(static_cast<int32_t>(immediates.size()), descriptor.immediate_count)
      << "opcode " << opcode;
  int index = 0;
  for (TensorBuffer *tensor : tensors) block.set_tensor(index++, tensor);
  index = 0;
  for (int32_t value : immediates) block.set_immediate(descriptor.tensor_count, index++, value);
  return block;
}

// The calling thread's messages, innermost first; empties the stack.
inline std::vector<std::string> take_error_messages() {
  char **messages = nullptr;
  int32_t depth = 0;
  std::vector<std::string> taken;
  if (qx_get_error_stack(&messages, &depth) == QX_STATUS_SUCCESS) {
    for (int32_t i = 0; i < depth; ++i) taken.emplace_back(messages[i]);
  }
  qx_free_error_stack(messages);
  return taken;
}

// Starts the next call with an empty stack, as an entry point does.
inline void clear_error_messages() {
  error_stack_reset();
  take_error_messages();
  error_stack_reset();
}

// A CPU context for one test; tensors made through it are freed with it.
class CpuContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context_), QX_STATUS_SUCCESS);
  }
  void TearDown() override {
    for (TensorBuffer *tensor : tensors_) tensor_free(context_, tensor);
    release_device_context(context_);
  }

  TensorBuffer *make_tensor(int32_t bytes, unsigned char fill = 0xA5) {
    TensorBuffer *tensor = tensor_alloc(context_, bytes, 0);
    EXPECT_NE(tensor, nullptr);
    if (tensor) std::memset(tensor->data, fill, static_cast<size_t>(bytes));
    tensors_.push_back(tensor);
    return tensor;
  }

  template <typename T>
  TensorBuffer *make_tensor(const std::vector<T> &values) {
    TensorBuffer *tensor = make_tensor(static_cast<int32_t>(values.size() * sizeof(T)));
    if (tensor && !values.empty()) std::memcpy(tensor->data, values.data(), tensor->size);
    return tensor;
  }

  template <typename T>
  static std::vector<T> contents(const TensorBuffer *tensor) {
    std::vector<T> values(static_cast<size_t>(tensor->size) / sizeof(T));
    if (!values.empty()) std::memcpy(values.data(), tensor->data, values.size() * sizeof(T));
    return values;
  }

  DeviceContext *context_ = nullptr;
  std::vector<TensorBuffer *> tensors_;
};

}  // namespace testing_support
}  // namespace qx
