// Shared by the runtime tests: a single-threaded CPU context whose tensors
// are freed with it, operand blocks from lists, and the error stack as text.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devices/device_selection.h"
#include "base/error_stack.h"
#include "runtime/device_context.h"

namespace qx {
namespace testing_support {

inline OperandBlock make_block(int opcode, const std::vector<TensorBuffer *> &tensors,
                               const std::vector<int32_t> &immediates) {
  OperandBlock block{};
  const int count = kOpcodeDescriptors[opcode].tensor_count;
  for (size_t i = 0; i < tensors.size(); ++i) block.set_tensor(static_cast<int>(i), tensors[i]);
  for (size_t j = 0; j < immediates.size(); ++j) {
    block.set_immediate(count, static_cast<int>(j), immediates[j]);
  }
  return block;
}

// The calling thread's messages, innermost first; the stack is left empty.
inline std::vector<std::string> take_error_messages() {
  char **messages = nullptr;
  int32_t depth = 0;
  std::vector<std::string> taken;
  if (qx_get_error_stack(&messages, &depth) == QX_STATUS_SUCCESS) {
    taken.assign(messages, messages + depth);
  }
  qx_free_error_stack(messages);
  error_stack_reset();  // prepares storage for the next collection
  return taken;
}

class CpuContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context_), QX_STATUS_SUCCESS);
    error_stack_reset();
    take_error_messages();
  }
  void TearDown() override {
    for (TensorBuffer *tensor : tensors_) tensor_free(context_, tensor);
    release_device_context(context_);
  }
  TensorBuffer *make_tensor(const std::vector<uint8_t> &bytes) {
    TensorBuffer *tensor = tensor_alloc(context_, static_cast<int32_t>(bytes.size()), 0);
    std::memcpy(tensor->data, bytes.data(), bytes.size());
    tensors_.push_back(tensor);
    return tensor;
  }
  static std::vector<uint8_t> bytes_of(const TensorBuffer *tensor) {
    const auto *data = static_cast<const uint8_t *>(tensor->data);
    return std::vector<uint8_t>(data, data + tensor->size);
  }

  DeviceContext *context_ = nullptr;
  std::vector<TensorBuffer *> tensors_;
};

// Tensor contents written as typed values.
template <typename T>
std::vector<uint8_t> as_bytes(std::initializer_list<T> values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(T));
  if (values.size()) std::memcpy(bytes.data(), values.begin(), bytes.size());
  return bytes;
}
inline std::vector<uint8_t> i8(std::initializer_list<int8_t> v) { return as_bytes(v); }
inline std::vector<uint8_t> i16(std::initializer_list<int16_t> v) { return as_bytes(v); }
inline std::vector<uint8_t> i32(std::initializer_list<int32_t> v) { return as_bytes(v); }
inline std::vector<uint8_t> f32(std::initializer_list<float> v) { return as_bytes(v); }

}  // namespace testing_support
}  // namespace qx
