// The emulated Metal layer catches what Metal would reject, so the backend's
// tests mean something: each case misuses the layer on purpose (a wrong
// binding index, an impossible grid, a released buffer, an open encoder) and
// expects one violation naming the fault; the work is not run. And committed
// work only runs when someone waits, as on a GPU.
#include <cstring>
#include <functional>

#include "metal/metal_layer.h"
#include "metal_test_support.h"

namespace qx {
namespace {

using mtl::Size;

// One add_f32 kernel ("taabe4": bytes 0 count; buffers 1 out, 2 a, 3 b) on a
// fresh device, with three 4-float buffers.
class LayerTest : public metal_testing::EmulatedMetalTest {
 protected:
  void SetUp() override {
    EmulatedMetalTest::SetUp();
    static const unsigned char kLibrary[] = {'E', 'M', 'T', 'L'};
    device_ = mtl::create_system_default_device();
    queue_ = mtl::device_new_command_queue(device_);
    library_ = mtl::device_new_library(device_, kLibrary, sizeof(kLibrary));
    function_ = mtl::library_new_function(library_, "taabe4");
    pipeline_ = mtl::device_new_compute_pipeline(device_, function_);
    ASSERT_NE(pipeline_, nullptr);
    for (mtl::Buffer *&buffer : buffers_) {
      buffer = mtl::device_new_buffer(device_, 16);
      const float values[4] = {1, 2, 3, 4};
      std::memcpy(mtl::buffer_contents(buffer), values, sizeof(values));
    }
  }
  void TearDown() override {
    for (mtl::Buffer *buffer : buffers_) mtl::release(buffer);
    mtl::release(pipeline_);
    mtl::release(function_);
    mtl::release(library_);
    mtl::release(queue_);
    mtl::release(device_);
    EmulatedMetalTest::TearDown();
  }
  float out(int i) const {
    float value;
    std::memcpy(&value, static_cast<const float *>(mtl::buffer_contents(buffers_[0])) + i, 4);
    return value;
  }
  // Encodes the add with `bind` (which may misbind), dispatches 4 threads in
  // groups of `group`, commits and waits.
  void run_add(const std::function<void(mtl::ComputeEncoder *)> &bind, Size group = {4, 1, 1},
               Size grid = {4, 1, 1}) {
    mtl::CommandBuffer *commands = mtl::queue_command_buffer(queue_);
    mtl::ComputeEncoder *encoder = mtl::command_buffer_compute_encoder(commands);
    mtl::compute_set_pipeline(encoder, pipeline_);
    bind(encoder);
    mtl::compute_dispatch_threads(encoder, grid, group);
    mtl::compute_end_encoding(encoder);
    mtl::release(encoder);
    mtl::command_buffer_commit(commands);
    mtl::command_buffer_wait_until_completed(commands);
    mtl::release(commands);
  }
  static void bind_all(mtl::ComputeEncoder *encoder, mtl::Buffer *const *buffers,
                       const uint32_t indices[4]) {
    const int32_t count = 4;
    mtl::compute_set_bytes(encoder, &count, sizeof(count), indices[0]);
    for (int i = 0; i < 3; ++i) mtl::compute_set_buffer(encoder, buffers[i], 0, indices[i + 1]);
  }
  std::vector<std::string> violations() { return mtl::emulator::take_violations(); }

  mtl::Device *device_ = nullptr;
  mtl::CommandQueue *queue_ = nullptr;
  mtl::Library *library_ = nullptr;
  mtl::Function *function_ = nullptr;
  mtl::Pipeline *pipeline_ = nullptr;
  mtl::Buffer *buffers_[3] = {};
};

TEST_F(LayerTest, CorrectBindingsRunTheKernel) {
  const uint32_t indices[4] = {0, 1, 2, 3};
  run_add([&](mtl::ComputeEncoder *e) { bind_all(e, buffers_, indices); });
  EXPECT_EQ(out(3), 8.0f);
}

TEST_F(LayerTest, MisboundArgumentsAreCaughtAndNotRun) {
  const struct {
    const char *name;
    uint32_t indices[4];
    const char *expected;
  } cases[] = {
      {"b one index too far", {0, 1, 2, 4}, "taabe4 expects a buffer at index 3"},
      {"count and out swapped", {1, 0, 2, 3}, "taabe4 expects 4 bytes at index 0"},
      {"beyond the argument table", {0, 1, 2, 31}, "index 31 beyond the argument table"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    run_add([&](mtl::ComputeEncoder *e) { bind_all(e, buffers_, c.indices); });
    const std::vector<std::string> found = violations();
    ASSERT_FALSE(found.empty());
    bool named = false;
    for (const std::string &v : found) named |= v.find(c.expected) != std::string::npos;
    EXPECT_TRUE(named) << found[0];
    EXPECT_EQ(out(0), 1.0f);  // not run
  }
}

TEST_F(LayerTest, ImpossibleGridsAreCaught) {
  const uint32_t indices[4] = {0, 1, 2, 3};
  const struct {
    const char *name;
    Size group, grid;
    const char *expected;
  } cases[] = {
      {"threadgroup above the pipeline's limit", {32, 64, 1}, {4, 1, 1}, "threadgroup 32x64x1"},
      {"empty threadgroup", {32, 0, 1}, {4, 1, 1}, "threadgroup 32x0x1"},
      {"empty grid", {4, 1, 1}, {0, 1, 1}, "empty grid"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    run_add([&](mtl::ComputeEncoder *e) { bind_all(e, buffers_, indices); }, c.group, c.grid);
    const std::vector<std::string> found = violations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find(c.expected), std::string::npos) << found[0];
  }
}

TEST_F(LayerTest, ReleasedBuffersAreCaught) {
  mtl::Buffer *gone = mtl::device_new_buffer(device_, 16);
  mtl::release(gone);
  const uint32_t indices[4] = {0, 1, 2, 3};
  mtl::Buffer *with_gone[3] = {buffers_[0], gone, buffers_[2]};
  run_add([&](mtl::ComputeEncoder *e) { bind_all(e, with_gone, indices); });
  const std::vector<std::string> found = violations();
  ASSERT_FALSE(found.empty());
  EXPECT_NE(found[0].find("buffer used after its last release"), std::string::npos) << found[0];
  EXPECT_EQ(mtl::buffer_contents(gone), nullptr);
  EXPECT_EQ(violations().size(), 1u);
}

// A buffer released after encoding stays alive until its work has run, as
// command buffers retain what they use.
TEST_F(LayerTest, CommandBuffersKeepTheirBuffers) {
  mtl::Buffer *b = mtl::device_new_buffer(device_, 16);
  const float values[4] = {10, 10, 10, 10};
  std::memcpy(mtl::buffer_contents(b), values, sizeof(values));
  mtl::CommandBuffer *commands = mtl::queue_command_buffer(queue_);
  mtl::ComputeEncoder *encoder = mtl::command_buffer_compute_encoder(commands);
  mtl::compute_set_pipeline(encoder, pipeline_);
  const uint32_t indices[4] = {0, 1, 2, 3};
  mtl::Buffer *with_b[3] = {buffers_[0], buffers_[1], b};
  bind_all(encoder, with_b, indices);
  mtl::compute_dispatch_threads(encoder, {4, 1, 1}, {4, 1, 1});
  mtl::compute_end_encoding(encoder);
  mtl::release(encoder);
  mtl::release(b);
  mtl::command_buffer_commit(commands);
  EXPECT_EQ(out(0), 1.0f);  // committed, not yet run
  mtl::command_buffer_wait_until_completed(commands);
  mtl::release(commands);
  EXPECT_EQ(out(0), 11.0f);
}

TEST_F(LayerTest, EncodersLeftOpenAreCaught) {
  mtl::CommandBuffer *commands = mtl::queue_command_buffer(queue_);
  mtl::ComputeEncoder *compute = mtl::command_buffer_compute_encoder(commands);
  EXPECT_EQ(mtl::command_buffer_blit_encoder(commands), nullptr);
  mtl::command_buffer_commit(commands);
  const std::vector<std::string> found = violations();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NE(found[0].find("another encoder of this command buffer is still open"),
            std::string::npos);
  EXPECT_NE(found[1].find("commit: an encoder is still open"), std::string::npos);
  mtl::compute_end_encoding(compute);
  mtl::release(compute);
  mtl::command_buffer_wait_until_completed(commands);
  mtl::release(commands);
}

TEST_F(LayerTest, BlitsNeedWholeWords) {
  mtl::CommandBuffer *commands = mtl::queue_command_buffer(queue_);
  mtl::BlitEncoder *blit = mtl::command_buffer_blit_encoder(commands);
  mtl::blit_fill(blit, buffers_[0], 2, 4, 0);
  mtl::blit_copy(blit, buffers_[1], 0, buffers_[0], 0, 6);
  mtl::blit_fill(blit, buffers_[0], 8, 12, 0);
  mtl::blit_end_encoding(blit);
  mtl::release(blit);
  mtl::command_buffer_commit(commands);
  mtl::command_buffer_wait_until_completed(commands);
  mtl::release(commands);
  const std::vector<std::string> found = violations();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_NE(found[0].find("not a multiple of 4"), std::string::npos) << found[0];
  EXPECT_NE(found[1].find("not a multiple of 4"), std::string::npos) << found[1];
  EXPECT_NE(found[2].find("beyond a buffer of 16 bytes"), std::string::npos) << found[2];
  EXPECT_EQ(out(0), 1.0f);
}

}  // namespace
}  // namespace qx
