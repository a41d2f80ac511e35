// The emulated library's own records: which map / unmap / upload / download
// sequences move data between the host copy and the device copy, and that
// the device copy is what the kernels see. The library is linked in
// directly, so the transfer counts of the backend are visible.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend.h"
#include "qx_ypu_impl_cuda_orb.h"
#include "runtime/opcodes.h"

namespace {

using ypu::Backend;
using ypu::Tensor;

class Staging : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(taabe5(0, &handle_), 0); }
  void TearDown() override {
    for (void *tensor : tensors_) taabe261(handle_, tensor);
    taabe248(handle_);
  }
  Backend *backend() const { return static_cast<Backend *>(handle_); }
  void *make(int32_t size) {
    void *tensor = taabe200(handle_, size, 0);
    tensors_.push_back(tensor);
    return tensor;
  }
  // The device copy's bytes, read behind the library's back.
  static std::vector<uint8_t> device_bytes(void *tensor) {
    const Tensor *t = static_cast<Tensor *>(tensor);
    return std::vector<uint8_t>(t->device, t->device + t->size);
  }
  int64_t uploads() const { return backend()->counts.uploads; }
  int64_t downloads() const { return backend()->counts.downloads; }
  // Makes the host copy stale, as a kernel writing the tensor does.
  void fill_on_device(void *tensor, uint8_t value) {
    std::vector<uint8_t> bytes(static_cast<size_t>(taabe34(handle_, tensor)), value);
    std::memcpy(static_cast<Tensor *>(tensor)->device, bytes.data(), bytes.size());
    ypu::device_wrote(static_cast<Tensor *>(tensor));
  }

  void *handle_ = nullptr;
  std::vector<void *> tensors_;
};

TEST_F(Staging, MapModesMoveOnlyWhatTheyMust) {
  // map mode, written at unmap, host copy stale before the map
  //   -> downloads, uploads
  const struct {
    int32_t mode, written;
    bool stale;
    int64_t downloads, uploads;
  } cases[] = {
      {1, 0, true, 1, 0},                       // reading a stale copy fetches it
      {1, 0, false, 0, 0},                      // reading a current copy fetches nothing
      {1, 1, true, 1, 1},                       // read-write: fetched and sent back
      {0, 1, true, 0, 1},                       // write-only: never fetched, sent back
      {0, 1, false, 0, 1}, {0, 0, true, 0, 0},  // mapped and left alone: nothing moves
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " written " << c.written
                                    << (c.stale ? " stale" : " current"));
    void *tensor = make(16);
    if (c.stale) fill_on_device(tensor, 7);
    const int64_t downloads_before = downloads(), uploads_before = uploads();
    auto *host = static_cast<uint8_t *>(taabe230(handle_, tensor, c.mode));
    ASSERT_NE(host, nullptr);
    if (c.mode == 1) {
      EXPECT_EQ(host[15], c.stale ? 7 : 0);
    }
    if (c.written) std::memset(host, 9, 16);
    taabe243(handle_, tensor, c.written);
    EXPECT_EQ(downloads() - downloads_before, c.downloads);
    EXPECT_EQ(uploads() - uploads_before, c.uploads);
    EXPECT_EQ(device_bytes(tensor)[3], c.written ? 9 : (c.stale ? 7 : 0));
  }
}

TEST_F(Staging, NestedMapsOfOneTensorSendItBackOnceAtTheLastUnmap) {
  void *tensor = make(8);
  fill_on_device(tensor, 1);
  auto *out = static_cast<uint8_t *>(taabe230(handle_, tensor, 0));
  auto *in = static_cast<uint8_t *>(taabe230(handle_, tensor, 1));
  EXPECT_EQ(out, in);
  EXPECT_EQ(downloads(), 1);
  out[0] = 5;
  taabe243(handle_, tensor, 1);
  EXPECT_EQ(uploads(), 0);  // still mapped
  taabe243(handle_, tensor, 0);
  EXPECT_EQ(uploads(), 1);
  EXPECT_EQ(device_bytes(tensor), (std::vector<uint8_t>{5, 1, 1, 1, 1, 1, 1, 1}));
}

TEST_F(Staging, UploadAndDownloadCopyRangesAndRejectRangesOutside) {
  void *tensor = make(8);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  uint8_t back[4] = {};
  EXPECT_EQ(taabe212(handle_, tensor, bytes, 4, 4), 0);
  EXPECT_EQ(device_bytes(tensor), (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3, 4}));
  // The host copy took the same bytes: a download needs no transfer.
  EXPECT_EQ(taabe193(handle_, tensor, back, 4, 4), 0);
  EXPECT_EQ(downloads(), 0);
  EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
  fill_on_device(tensor, 6);
  EXPECT_EQ(taabe193(handle_, tensor, back, 2, 2), 0);
  EXPECT_EQ(downloads(), 1);
  EXPECT_EQ(back[0], 6);
  const struct {
    int32_t offset, length;
  } outside[] = {{-1, 1}, {0, -1}, {5, 4}, {8, 1}, {2147483647, 1}};
  for (const auto &c : outside) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    EXPECT_EQ(taabe212(handle_, tensor, bytes, c.offset, c.length), 3);
    EXPECT_EQ(taabe193(handle_, tensor, back, c.offset, c.length), 3);
  }
  EXPECT_EQ(taabe212(handle_, tensor, bytes, 8, 0), 0);  // empty range at the end
}

TEST_F(Staging, HandlesForDevicesAndSizesThatDoNotExistAreRefused) {
  EXPECT_EQ(taabe200(handle_, -1, 0), nullptr);
  EXPECT_EQ(taabe34(handle_, make(0)), 0);
  void *other = nullptr;
  EXPECT_EQ(taabe5(1, &other), 3);  // the emulation has one device
  EXPECT_EQ(taabe5(-1, &other), 3);
  EXPECT_EQ(other, nullptr);
}

TEST_F(Staging, AFailedDeviceStopsEveryLaterOperator) {
  void *tensor = make(8);
  qx::OperandBlock block{};
  block.set_tensor(0, static_cast<qx::TensorBuffer *>(tensor));
  block.set_immediate(1, 0, 8);
  block.set_immediate(1, 1, 0);
  EXPECT_EQ(taabe91(handle_, nullptr, &block), 0);
  backend()->failed = true;
  EXPECT_EQ(taabe91(handle_, nullptr, &block), 7);
  EXPECT_EQ(taabe91(nullptr, nullptr, &block), 3);
}

TEST(Listing, OneEmulatedDeviceNamedLikeTheOtherGpuEntries) {
  char **devices = nullptr;
  int32_t count = 0;
  ASSERT_EQ(taabe3(&devices, &count), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::string(devices[0]), "gpu:0 - Emulated CUDA device (host memory)");
  taabe229(devices, count);
  EXPECT_EQ(taabe3(nullptr, &count), 3);
}

}  // namespace
