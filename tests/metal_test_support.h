// Shared by the Metal tests (emulated builds only): a Metal context on the
// emulated device beside a reference-only CPU context, tensors made and read
// on either, and the emulator's violations checked after every test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devices/device_selection.h"
#include "metal/emulated/metal_emulator.h"
#include "runtime/device_context.h"
#include "runtime_test_support.h"

namespace qx {
namespace metal_testing {

using Bytes = std::vector<uint8_t>;

// Tensors of one context, freed with it.
class TensorSet {
 public:
  explicit TensorSet(DeviceContext *context) : context_(context) {}
  ~TensorSet() {
    for (TensorBuffer *tensor : tensors_) tensor_free(context_, tensor);
  }
  TensorBuffer *make(const Bytes &bytes) {
    TensorBuffer *tensor = tensor_alloc(context_, static_cast<int32_t>(bytes.size()), 0);
    EXPECT_NE(tensor, nullptr);
    if (!tensor) return nullptr;
    tensors_.push_back(tensor);
    EXPECT_EQ(upload(context_, tensor, bytes.data(), 0, static_cast<int32_t>(bytes.size())),
              QX_STATUS_SUCCESS);
    return tensor;
  }
  Bytes read(TensorBuffer *tensor) const {
    Bytes bytes(static_cast<size_t>(tensor_size(context_, tensor)));
    EXPECT_EQ(download(context_, tensor, bytes.data(), 0, static_cast<int32_t>(bytes.size())),
              QX_STATUS_SUCCESS);
    return bytes;
  }

 private:
  DeviceContext *context_;
  std::vector<TensorBuffer *> tensors_;
};

// Every test starts from a fresh emulator and must leave no violation.
class EmulatedMetalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mtl::emulator::reset();
    error_stack_reset();
    testing_support::take_error_messages();
  }
  void TearDown() override {
    EXPECT_EQ(mtl::emulator::take_violations(), std::vector<std::string>{});
    mtl::emulator::reset();
  }
};

// A Metal context (and a reference-only CPU one to compare with).
class MetalContextTest : public EmulatedMetalTest {
 protected:
  void SetUp() override {
    EmulatedMetalTest::SetUp();
    ASSERT_EQ(open_device("gpu", "gpu", &gpu_), QX_STATUS_SUCCESS);
    ASSERT_EQ(gpu_->device_type, static_cast<uint32_t>(kDeviceMetal));
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &cpu_), QX_STATUS_SUCCESS);
    cpu_->flags |= kContextReferenceOnly;
  }
  void TearDown() override {
    if (cpu_) release_device_context(cpu_);
    if (gpu_) release_device_context(gpu_);
    EmulatedMetalTest::TearDown();
  }

  DeviceContext *gpu_ = nullptr;
  DeviceContext *cpu_ = nullptr;
};

}  // namespace metal_testing
}  // namespace qx
