// The model reader: header checks, the failure chain of every short read and
// failed allocation, the shape rules, hostile counts, and what lands in the
// records. Files are built with the model writer and cut or altered per case.
#if defined(_WIN32)
#include <windows.h>

#include <direct.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devices/device_selection.h"
#include "engine/model.h"
#include "model_writer.h"
#include "runtime/device_context.h"
#include "test_support.h"

using namespace qx;
using qx_test::collect_messages;
using qx_test::line;
using qx_tools::Field;
using qx_tools::ModelDescription;
using qx_tools::ModelShape;
using qx_tools::Region;

namespace {

using Chain = std::vector<std::string>;

const std::string kShortRead = line(202, "Failed to read parameter from file.");
const std::string kHeapExhausted = line(200, "Failed to allocate, out of memory.");
const std::string kDeviceMemory = line(804, "Failed to allocate, out of memory.");
const std::string kMalformed =
    line(105, "Orb model (.qx) file has incorrect format or belongs to a different platform.");
const std::string kLanguageCount = qx_test::generic_line(111);
std::string trace(const char *tag) { return line(310, tag); }
std::string wrong_version(const std::string &version) {
  return line(106, "Orb model (.qx) file belongs to a different version of the library. File is `" +
                       version + "` while library is `1.0.0`.");
}

// Small enough to cut at every byte: B = 2, levels of 3 and 2.
ModelShape small_shape(int32_t has_projection) {
  ModelShape shape;
  shape.num_mel_bands = 2;
  shape.level0_input_size = 4;
  shape.hidden_sizes = {3, 2};
  shape.has_projection = has_projection;
  shape.embedding_size = has_projection ? 4 : 0;
  return shape;
}
ModelDescription small_model(int32_t has_projection = 0) {
  return qx_tools::random_model(small_shape(has_projection), 11);
}

// Both directions of one level.
void set_level(ModelDescription &model, size_t level, int32_t hidden, int32_t input) {
  for (auto *layers : {&model.forward_layers, &model.backward_layers}) {
    (*layers)[level].hidden_size = hidden;
    (*layers)[level].input_size = input;
  }
}
// E and the output layer's K together.
void set_embedding(ModelDescription &model, int32_t size) {
  model.embedding_size = model.output_input_size = size;
}

const Field &field_named(const ModelDescription &model, const std::string &name) {
  static std::vector<Field> fields;
  fields = qx_tools::layout(model);
  for (const Field &field : fields) {
    if (field.name == name) return field;
  }
  ADD_FAILURE() << "no field " << name;
  return fields.front();
}

// The bytes of `model` up to the end of field `name`.
std::vector<uint8_t> encoded_through(const ModelDescription &model, const std::string &name) {
  std::vector<uint8_t> bytes = qx_tools::encode(model);
  bytes.resize(field_named(model, name).end);
  return bytes;
}

std::vector<uint8_t> tensor_bytes(DeviceContext *context, TensorBuffer *tensor) {
  const int32_t size = tensor_size(context, tensor);
  const auto *data = static_cast<const uint8_t *>(map(context, tensor, kMapRead));
  std::vector<uint8_t> bytes(data, data + size);
  unmap(context, tensor, 0);
  return bytes;
}
template <typename T>
std::vector<uint8_t> raw(const std::vector<T> &values) {
  const auto *data = reinterpret_cast<const uint8_t *>(values.data());
  return std::vector<uint8_t>(data, data + values.size() * sizeof(T));
}

class ModelReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = testing::TempDir() + "qx_model_reader_" + std::to_string(qx_test::process_id()) + ".qx";
    ASSERT_EQ(open_device("cpu:1", "cpu:1", &context_), QX_STATUS_SUCCESS);
  }
  void TearDown() override {
    release();
    if (context_) release_device_context(context_);
    std::remove(path_.c_str());
  }

  // `failing` and `persistent` arm the allocator for the read alone.
  QxStatus load(const std::vector<uint8_t> &bytes, long failing = -1, bool persistent = false) {
    EXPECT_TRUE(qx_tools::write_file(path_, bytes));
    return load_path(path_, failing, persistent);
  }
  QxStatus load(const ModelDescription &model) { return load(qx_tools::encode(model)); }
  // Reads into records_ and collects the messages; records_ stays attached
  // until release(), which checks that nothing outlives it.
  QxStatus load_path(const std::string &path, long failing = -1, bool persistent = false) {
    release();
    live_before_ = qx_test::settled_live_blocks();
    allocator_testing::fail_after(failing, persistent);
    defect_ = "not set by the reader";
    const QxStatus status = model_read(context_, path.c_str(), &records_, &defect_);
    qx::allocator_testing::fail_after(-1);  // collecting the messages allocates
    messages_ = collect_messages();
    loaded_ = true;
    return status;
  }
  void release() {
    if (!loaded_) return;
    model_release(context_, &records_);
    EXPECT_EQ(records_.feature_settings, nullptr);
    EXPECT_EQ(records_.recurrent_stack, nullptr);
    EXPECT_EQ(qx_test::settled_live_blocks(), live_before_) << "blocks leaked";
    loaded_ = false;
  }
  // Which blocks are attached, in file order: "F", "FO", "FOS".
  std::string attached() const {
    return std::string(records_.feature_settings ? "F" : "") + (records_.output_layer ? "O" : "") +
           (records_.recurrent_stack ? "S" : "");
  }

  qx_test::FaultInjectionOff injection_off_;
  DeviceContext *context_ = nullptr;
  std::string path_;
  ModelRecords records_{};
  const char *defect_ = nullptr;
  Chain messages_;
  bool loaded_ = false;
  long live_before_ = 0;
};

// ---- Opening and the header ------------------------------------------------------

TEST_F(ModelReaderTest, MissingFileFailsToOpenNamingThePath) {
  const std::string missing = testing::TempDir() + "no_such_model.qx";
  EXPECT_EQ(load_path(missing), QX_STATUS_IO_ERROR);
  EXPECT_EQ(messages_, Chain{line(201, "Failed to open file `" + missing + "`.")});
  EXPECT_EQ(attached(), "");
}

// Writes a file named by a UTF-8 path, as a host would create it: through
// the wide-character name on Windows, the bytes as they are elsewhere.
bool write_utf8_named(const std::string &path, const std::vector<uint8_t> &bytes) {
#if defined(_WIN32)
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide, MAX_PATH) <= 0) {
    return false;
  }
  std::FILE *file = _wfopen(wide, L"wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
#else
  return qx_tools::write_file(path, bytes);
#endif
}

void remove_utf8_named(const std::string &path) {
#if defined(_WIN32)
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide, MAX_PATH) > 0) {
    _wremove(wide);
  }
#else
  std::remove(path.c_str());
#endif
}

// Paths are UTF-8 whatever the system's own code page: on Windows they are
// opened by their UTF-16 names. Invalid UTF-8 names no file.
TEST_F(ModelReaderTest, NonAsciiPathsOpen) {
  const std::string tag = std::to_string(qx_test::process_id());
  const std::vector<uint8_t> model = qx_tools::encode(small_model());
  const std::string names[] = {
      "qx_mod\xC3\xA8le_" + tag + ".qx",                                  // Latin-1 range
      "qx_\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E_" + tag + ".qx",    // CJK
      "qx_\xCE\xA9\xF0\x9F\x8E\xB5_" + tag + ".qx",                  // beyond 16 bits
  };
  for (const std::string &name : names) {
    const std::string path = testing::TempDir() + name;
    SCOPED_TRACE(path);
    ASSERT_TRUE(write_utf8_named(path, model));
    EXPECT_EQ(load_path(path), QX_STATUS_SUCCESS);
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(attached(), "FOS");
    release();
    remove_utf8_named(path);
  }
  const std::string invalid = testing::TempDir() + "qx_\xFF\xFE_" + tag + ".qx";
  EXPECT_EQ(load_path(invalid), QX_STATUS_IO_ERROR);
  EXPECT_EQ(messages_, Chain{line(201, "Failed to open file `" + invalid + "`.")});
}

// The path and the mode are converted in memory from the library's
// allocator; when either allocation fails the file is not opened.
TEST_F(ModelReaderTest, AFailedPathConversionIsAFailedOpen) {
#if !defined(_WIN32)
  GTEST_SKIP() << "only the Windows build converts the path (to UTF-16) before opening";
#else
  const std::vector<uint8_t> bytes = qx_tools::encode(small_model());
  for (const long failing : {0, 1}) {  // the path's buffer, the mode's
    SCOPED_TRACE(failing);
    EXPECT_EQ(load(bytes, failing), QX_STATUS_IO_ERROR);
    EXPECT_EQ(messages_, Chain{line(201, "Failed to open file `" + path_ + "`.")});
    EXPECT_EQ(attached(), "");
  }
  // Both buffers are released once the file is open: the next allocation is
  // the reader's first.
  EXPECT_EQ(load(bytes, qx_test::kModelOpenAllocations), QX_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(messages_, (Chain{line(200, "Failed to allocate, out of memory."), trace("6a15559")}));
#endif
}

#if defined(_WIN32)
// Only a regular file has a length that bounds every count read from it, so
// nothing else is opened: not a pipe (whose client end opens at once, without
// a writer), not a device, not a directory.
TEST_F(ModelReaderTest, OnlyRegularFilesAreOpened) {
  const std::string tag = std::to_string(qx_test::process_id());
  const std::string dir = testing::TempDir() + "qx_open_" + tag;
  ASSERT_EQ(_mkdir(dir.c_str()), 0);
  const std::string model = dir + "\\model.qx", pipe = "\\\\.\\pipe\\qx_open_" + tag;
  ASSERT_TRUE(qx_tools::write_file(model, qx_tools::encode(small_model())));
  const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1,
                                         4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const struct {
    std::string path;
    QxStatus status;
  } cases[] = {
      {model, QX_STATUS_SUCCESS},
      {pipe, QX_STATUS_IO_ERROR},
      {"NUL", QX_STATUS_IO_ERROR},
      {dir, QX_STATUS_IO_ERROR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(load_path(c.path), c.status);
    if (c.status != QX_STATUS_SUCCESS) {
      EXPECT_EQ(messages_, Chain{line(201, "Failed to open file `" + c.path + "`.")});
    }
  }
  release();
  CloseHandle(server);
  std::remove(model.c_str());
  _rmdir(dir.c_str());
}

TEST_F(ModelReaderTest, FifosAndSymbolicLinks) {
  GTEST_SKIP() << "Windows has no FIFOs, and symbolic links need a privilege tests lack";
}
#else
// Only a regular file has a length that bounds every count read from it, so
// nothing else is opened: not a pipe (which would also block without a
// writer), not a device, not a directory. Links to a model are followed.
TEST_F(ModelReaderTest, OnlyRegularFilesAreOpened) {
  const std::string dir = testing::TempDir() + "qx_open_" + std::to_string(qx_test::process_id());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string model = dir + "/model.qx", link = dir + "/link.qx", fifo = dir + "/fifo.qx";
  ASSERT_TRUE(qx_tools::write_file(model, qx_tools::encode(small_model())));
  ASSERT_EQ(symlink(model.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    QxStatus status;
  } cases[] = {
      {link, QX_STATUS_SUCCESS},
      {fifo, QX_STATUS_IO_ERROR},  // no writer: must not wait for one
      {"/dev/zero", QX_STATUS_IO_ERROR},
      {dir, QX_STATUS_IO_ERROR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(load_path(c.path), c.status);
    if (c.status != QX_STATUS_SUCCESS) {
      EXPECT_EQ(messages_, Chain{line(201, "Failed to open file `" + c.path + "`.")});
    }
  }

  // A hostile model behind a pipe with a writer: a few bytes claiming
  // millions of layers are refused before anything is read or allocated.
  ModelDescription hostile = small_model();
  hostile.num_layers = 89478485;
  std::vector<uint8_t> bytes = qx_tools::encode(hostile);
  ASSERT_GE(bytes.size(), 120u);
  const auto previous_pipe_handler = std::signal(SIGPIPE, SIG_IGN);  // the reader may be gone
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY);  // returns once the reader has looked
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t written = write(fd, bytes.data(), 120);
      close(fd);
    }
  });
  EXPECT_EQ(load_path(fifo), QX_STATUS_IO_ERROR);
  // Unblock the writer whichever way the reader went.
  const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  if (unblock >= 0) close(unblock);
  std::signal(SIGPIPE, previous_pipe_handler);
  release();
  for (const std::string &path : {link, fifo, model}) std::remove(path.c_str());
  rmdir(dir.c_str());
}
#endif

TEST_F(ModelReaderTest, HeaderChecks) {
  const std::vector<uint8_t> model = qx_tools::encode(small_model());
  const std::vector<uint8_t> body(model.begin() + 8, model.end());
  auto file = [&](const std::string &head, bool with_body) {
    std::vector<uint8_t> bytes(head.begin(), head.end());
    if (with_body) bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
  };
  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
    QxStatus status;
    Chain messages;
  } cases[] = {
      {"empty", file("", false), QX_STATUS_IO_ERROR, {kShortRead}},
      {"two bytes", file("or", false), QX_STATUS_IO_ERROR, {kShortRead}},
      {"magic only", file("orb", false), QX_STATUS_IO_ERROR, {kShortRead}},
      {"version cut", file("orb1.0.", false), QX_STATUS_IO_ERROR, {kShortRead}},
      {"wrong magic", file("orc1.0.0", true), QX_STATUS_INVALID_ARGUMENT, {kMalformed}},
      {"magic with a zero", file(std::string("or\0", 3) + "1.0.0", true),
       QX_STATUS_INVALID_ARGUMENT, {kMalformed}},
      {"wrong magic, short file", file("ORB", false), QX_STATUS_INVALID_ARGUMENT, {kMalformed}},
      {"version 1.0.1", file("orb1.0.1", true), QX_STATUS_INVALID_ARGUMENT,
       {wrong_version("1.0.1")}},
      {"version 2.0.0", file("orb2.0.0", true), QX_STATUS_INVALID_ARGUMENT,
       {wrong_version("2.0.0")}},
      {"version text ends at its zero", file(std::string("orb1.0\0\0\0", 8), true),
       QX_STATUS_INVALID_ARGUMENT, {wrong_version("1.0")}},
      {"control characters in the version are escaped", file("orb1\n\r0\x7f", true),
       QX_STATUS_INVALID_ARGUMENT, {wrong_version("1\\x0A\\x0D0\\x7F")}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load(c.bytes), c.status);
    EXPECT_EQ(messages_, c.messages);
    EXPECT_EQ(attached(), "");
  }
}

// ---- What a valid file yields -----------------------------------------------------

TEST_F(ModelReaderTest, RoundTripOfTheDefaultModel) {
  const ModelDescription model = qx_tools::default_model(3);
  ASSERT_EQ(load(model), QX_STATUS_SUCCESS) << testing::PrintToString(messages_);
  EXPECT_TRUE(messages_.empty());

  const FeatureSettings &features = *records_.feature_settings;
  EXPECT_EQ(features.window_length, 512);
  EXPECT_EQ(features.hop_length, 256);
  EXPECT_EQ(features.num_mel_bands, 40);
  EXPECT_EQ(features.log_floor, model.log_floor);
  EXPECT_EQ(std::vector<float>(features.feature_mean, features.feature_mean + 40), model.feature_mean);
  EXPECT_EQ(std::vector<float>(features.feature_std, features.feature_std + 40), model.feature_std);

  const OutputLayer &output = *records_.output_layer;
  EXPECT_EQ(output.num_languages, 9);
  EXPECT_EQ(output.input_size, 96);
  EXPECT_EQ(tensor_bytes(context_, output.weights), raw(model.output_weights));
  EXPECT_EQ(tensor_bytes(context_, output.bias), raw(model.output_bias));

  const RecurrentStack &stack = *records_.recurrent_stack;
  EXPECT_EQ(stack.num_layers, 2);
  EXPECT_EQ(stack.norm_epsilon, model.norm_epsilon);
  for (int32_t level = 0; level < 2; ++level) {
    for (const bool forward : {true, false}) {
      SCOPED_TRACE(std::to_string(level) + (forward ? " forward" : " backward"));
      const RecurrentLayer &layer = (forward ? stack.forward_layers : stack.backward_layers)[level];
      const qx_tools::LayerDescription &written =
          (forward ? model.forward_layers : model.backward_layers)[level];
      EXPECT_EQ(layer.hidden_size, 96);
      EXPECT_EQ(layer.input_size, level == 0 ? 80 : 96);
      EXPECT_EQ(tensor_bytes(context_, layer.weights), raw(written.weights));
      EXPECT_EQ(tensor_bytes(context_, layer.bias), raw(written.bias));
    }
  }
  EXPECT_EQ(stack.embedding_size, 96);
  EXPECT_EQ(stack.pooled_size, 96);
  EXPECT_EQ(stack.has_projection, 0);
  EXPECT_EQ(stack.projection_weights, nullptr);
  EXPECT_EQ(model_defect(records_), nullptr);
}

TEST_F(ModelReaderTest, AnalysisWindowIsASymmetricHannWindow) {
  ASSERT_EQ(load(small_model()), QX_STATUS_SUCCESS);
  const float *window = records_.feature_settings->analysis_window;
  EXPECT_EQ(window[0], 0.0f);
  EXPECT_EQ(window[511], 0.0f);
  // 0.5 (1 - cos(2 pi i / 511)) in double precision, rounded to float32.
  EXPECT_EQ(window[1], 3.7796577089466155e-05f);
  EXPECT_EQ(window[100], 0.3326861262321472f);
  EXPECT_EQ(window[255], 0.9999905228614807f);
  EXPECT_EQ(window[256], window[255]);
  for (int i = 1; i <= 255; ++i) EXPECT_GT(window[i], window[i - 1]) << i;
  for (int i = 256; i < 511; ++i) EXPECT_GT(window[i], window[i + 1]) << i;
  for (int i = 0; i < 512; ++i) EXPECT_NEAR(window[i], window[511 - i], 1e-7f) << i;
}

TEST_F(ModelReaderTest, ProjectionFlagDecidesWhetherWeightsFollow) {
  struct Case {
    int32_t has_projection;
    bool projection_read;
  } cases[] = {{0, false}, {1, true}, {2, true}, {-1, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.has_projection);
    ModelDescription model = small_model(1);
    model.has_projection = c.has_projection;
    if (!c.projection_read) set_embedding(model, model.pooled_size);
    ASSERT_TRUE(qx_tools::fill_random_weights(&model, 3));
    std::vector<uint8_t> bytes = qx_tools::encode(model);
    // Whatever follows the last field is never read.
    bytes.insert(bytes.end(), {0xde, 0xad, 0xbe, 0xef, 0x01});
    ASSERT_EQ(load(bytes), QX_STATUS_SUCCESS) << testing::PrintToString(messages_);
    const RecurrentStack &stack = *records_.recurrent_stack;
    EXPECT_EQ(stack.has_projection, c.has_projection);
    if (c.projection_read) {
      ASSERT_NE(stack.projection_weights, nullptr);
      EXPECT_EQ(tensor_bytes(context_, stack.projection_weights), raw(model.projection_weights));
    } else {
      EXPECT_EQ(stack.projection_weights, nullptr);
    }
  }
}

// ---- Short reads and failed allocations --------------------------------------------

// The messages a file cut inside a field of `region` yields.
Chain cut_chain(Region region) {
  switch (region) {
    case Region::kHeader: return {kShortRead};
    case Region::kFeatureSettings: return {kShortRead, trace("6a15559")};
    case Region::kOutputCounts: return {kShortRead, trace("0c9e5e9")};
    case Region::kOutputData: return {trace("5143e09"), trace("0c9e5e9")};
    case Region::kStackCounts: return {kShortRead, trace("e85c650")};
    case Region::kLayerSizes: return {kShortRead, trace("8c960ef"), trace("e85c650")};
    case Region::kLayerData: return {trace("5143e09"), trace("8c960ef"), trace("e85c650")};
    case Region::kProjectionFields: return {kShortRead, trace("8cc8d77"), trace("e85c650")};
    case Region::kProjectionData: return {trace("5143e09"), trace("8cc8d77"), trace("e85c650")};
  }
  return {};
}
// Blocks complete before a cut in `region`; a failing block is never attached.
std::string attached_before(Region region) {
  if (region <= Region::kFeatureSettings) return "";
  if (region <= Region::kOutputData) return "F";
  return "FO";
}

// The lowest free file descriptor: it moves up when a read leaves its file open.
int next_descriptor() {
#if defined(_WIN32)
  const int probe = _dup(0);
  _close(probe);
#else
  const int probe = dup(0);
  close(probe);
#endif
  return probe;
}

TEST_F(ModelReaderTest, CutAtEveryByteFailsAsTheFieldCut) {
  const int descriptor = next_descriptor();
  for (const int32_t has_projection : {0, 1}) {
    const ModelDescription model = small_model(has_projection);
    const std::vector<uint8_t> bytes = qx_tools::encode(model);
    const std::vector<Field> fields = qx_tools::layout(model);
    std::map<Region, int> cuts_per_region;
    for (const Field &field : fields) {
      for (size_t length = field.begin; length < field.end; ++length) {
        SCOPED_TRACE("projection " + std::to_string(has_projection) + ", " + field.name + ", " +
                     std::to_string(length) + " bytes");
        EXPECT_EQ(load(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length)),
                  QX_STATUS_IO_ERROR);
        EXPECT_EQ(messages_, cut_chain(field.region));
        EXPECT_EQ(attached(), attached_before(field.region));
        ++cuts_per_region[field.region];
      }
    }
    const size_t regions = has_projection ? 9 : 8;
    EXPECT_EQ(cuts_per_region.size(), regions) << "every kind of field was cut";
    EXPECT_EQ(load(bytes), QX_STATUS_SUCCESS);
  }
  EXPECT_EQ(next_descriptor(), descriptor) << "a file was left open";
}

TEST_F(ModelReaderTest, EveryFailedAllocationIsReportedAndReleased) {
  struct Step {
    QxStatus status;
    Chain messages;
    bool operator==(const Step &other) const {
      return status == other.status && messages == other.messages;
    }
  };
  const Step kFeatures{QX_STATUS_OUT_OF_MEMORY, {kHeapExhausted, trace("6a15559")}};
  const Step kOutputRecord{QX_STATUS_OUT_OF_MEMORY, {kHeapExhausted, trace("0c9e5e9")}};
  const Step kOutputTensor{QX_STATUS_OUT_OF_MEMORY, {kDeviceMemory, trace("0c9e5e9")}};
  const Step kStack{QX_STATUS_OUT_OF_MEMORY, {kHeapExhausted, trace("e85c650")}};
  const Step kLayer{QX_STATUS_OUT_OF_MEMORY,
                    {kDeviceMemory, trace("8c960ef"), trace("e85c650")}};
  const Step kProjection{QX_STATUS_OUT_OF_MEMORY,
                         {kDeviceMemory, trace("8cc8d77"), trace("e85c650")}};
  const Step kDone{QX_STATUS_SUCCESS, {}};
  struct Case {
    ModelDescription model;
    std::vector<Step> steps;  // in the order the walk meets them, repeats merged
  } cases[] = {
      {qx_tools::default_model(5),
       {kFeatures, kOutputRecord, kOutputTensor, kStack, kLayer, kDone}},
      {small_model(1),
       {kFeatures, kOutputRecord, kOutputTensor, kStack, kLayer, kProjection, kDone}},
  };
  for (const Case &c : cases) {
    const std::vector<uint8_t> bytes = qx_tools::encode(c.model);
    std::vector<Step> seen;
    for (long n = 0; n < 1000; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      const Step step{load(bytes, qx_test::kModelOpenAllocations + n), messages_};
      if (seen.empty() || !(seen.back() == step)) seen.push_back(step);
      if (step.status == QX_STATUS_SUCCESS) break;
      // Blocks read before the failing one stay attached for the caller.
      EXPECT_EQ(attached(), step.messages.back() == trace("6a15559")   ? ""
                            : step.messages.back() == trace("e85c650") ? "FO"
                                                                       : "F");
      release();
    }
    ASSERT_EQ(seen.size(), c.steps.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].status, c.steps[i].status) << i;
      EXPECT_EQ(seen[i].messages, c.steps[i].messages) << i;
    }
  }
}

// ---- The language count and the shape rules --------------------------------------

TEST_F(ModelReaderTest, LanguageCountIsCheckedAfterTheWholeOutputBlock) {
  ModelDescription model = small_model();
  model.num_languages = 8;
  ASSERT_TRUE(qx_tools::fill_random_weights(&model, 2));
  // Cut inside the output bias: the short read comes first.
  std::vector<uint8_t> bytes = encoded_through(model, "output_bias");
  bytes.pop_back();
  EXPECT_EQ(load(bytes), QX_STATUS_IO_ERROR);
  EXPECT_EQ(messages_, cut_chain(Region::kOutputData));
  // A complete output block and nothing after it: 111, the stack never read.
  EXPECT_EQ(load(encoded_through(model, "output_bias")), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(messages_, Chain{kLanguageCount});
  EXPECT_EQ(attached(), "FO");
  EXPECT_EQ(records_.output_layer->num_languages, 8);
  // Nine rows are required, not at most nine.
  model.num_languages = 10;
  ASSERT_TRUE(qx_tools::fill_random_weights(&model, 2));
  EXPECT_EQ(load(model), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(messages_, Chain{kLanguageCount});
}

struct ShapeCase {
  const char *name;
  std::function<void(ModelDescription &)> shape;  // counts; arrays are then resized
  std::function<void(ModelDescription &)> values = [](ModelDescription &) {};
};

TEST_F(ModelReaderTest, ShapesTheClassifierCanRunAreAccepted) {
  const float kNegative = -1.5f;
  const ShapeCase cases[] = {
      {"small model", [](ModelDescription &) {}},
      {"hop 1", [](ModelDescription &m) { m.hop_length = 1; }},
      {"hop 32768", [](ModelDescription &m) { m.hop_length = 32768; }},
      {"one band", [](ModelDescription &m) { m.num_mel_bands = 1; set_level(m, 0, 3, 2); }},
      {"40 bands", [](ModelDescription &m) { m.num_mel_bands = 40; set_level(m, 0, 3, 80); }},
      {"level 0 input B", [](ModelDescription &m) { set_level(m, 0, 3, 2); }},
      {"level 0 input 2B", [](ModelDescription &m) { set_level(m, 0, 3, 4); }},
      {"one level", [](ModelDescription &m) {
         m.num_layers = 1;
         m.forward_layers.pop_back();
         m.backward_layers.pop_back();
         m.pooled_size = 3;
         set_embedding(m, 3);
       }},
      {"projection to a different size", [](ModelDescription &m) {
         m.has_projection = 1;
         set_embedding(m, 7);
       }},
      {"negative feature_std", [](ModelDescription &) {},
       [=](ModelDescription &m) { m.feature_std[1] = kNegative; }},
  };
  for (const ShapeCase &c : cases) {
    SCOPED_TRACE(c.name);
    ModelDescription model = small_model();
    c.shape(model);
    ASSERT_TRUE(qx_tools::fill_random_weights(&model, 4));
    c.values(model);
    EXPECT_EQ(load(model), QX_STATUS_SUCCESS) << testing::PrintToString(messages_);
  }
}

TEST_F(ModelReaderTest, ShapesThatBreakTheClassifierAreRejectedOnceRead) {
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  const ShapeCase cases[] = {
      {"hop 0", [](ModelDescription &m) { m.hop_length = 0; }},
      {"hop -256", [](ModelDescription &m) { m.hop_length = -256; }},
      {"hop 32769", [](ModelDescription &m) { m.hop_length = 32769; }},
      {"no bands", [](ModelDescription &m) { m.num_mel_bands = 0; set_level(m, 0, 3, 0); }},
      {"41 bands", [](ModelDescription &m) { m.num_mel_bands = 41; set_level(m, 0, 3, 82); }},
      {"feature_std 0", [](ModelDescription &) {},
       [](ModelDescription &m) { m.feature_std[1] = 0.0f; }},
      {"feature_std -0", [](ModelDescription &) {},
       [](ModelDescription &m) { m.feature_std[0] = -0.0f; }},
      {"feature_std NaN", [](ModelDescription &) {},
       [=](ModelDescription &m) { m.feature_std[1] = kNan; }},
      {"feature_std inf", [](ModelDescription &) {},
       [=](ModelDescription &m) { m.feature_std[0] = kInf; }},
      {"feature_std -inf", [](ModelDescription &) {},
       [=](ModelDescription &m) { m.feature_std[1] = -kInf; }},
      {"no levels", [](ModelDescription &m) {
         m.num_layers = 0;
         m.forward_layers.clear();
         m.backward_layers.clear();
       }},
      {"level 0 input below B", [](ModelDescription &m) { set_level(m, 0, 3, 1); }},
      {"level 0 input above 2B", [](ModelDescription &m) { set_level(m, 0, 3, 5); }},
      {"level 1 input not level 0 hidden", [](ModelDescription &m) { set_level(m, 1, 2, 4); }},
      {"directions differ in hidden size",
       [](ModelDescription &m) { m.backward_layers[0].hidden_size = 4; }},
      {"directions differ in input size",
       [](ModelDescription &m) { m.backward_layers[0].input_size = 3; }},
      {"hidden size 0", [](ModelDescription &m) {
         set_level(m, 1, 0, 3);
         m.pooled_size = 0;
         set_embedding(m, 0);
       }},
      {"pooled size not the last hidden", [](ModelDescription &m) { m.pooled_size = 3; }},
      {"embedding differs from pooled without projection",
       [](ModelDescription &m) { set_embedding(m, 3); }},
      {"output input size not embedding", [](ModelDescription &m) { m.output_input_size = 3; }},
      {"negative embedding without projection", [](ModelDescription &m) { m.embedding_size = -1; }},
      {"empty projection", [](ModelDescription &m) {
         m.has_projection = 1;
         set_embedding(m, 0);
       }},
  };
  for (const ShapeCase &c : cases) {
    SCOPED_TRACE(c.name);
    ModelDescription model = small_model();
    c.shape(model);
    ASSERT_TRUE(qx_tools::fill_random_weights(&model, 4));
    c.values(model);
    EXPECT_EQ(load(model), QX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(messages_, Chain{kMalformed});
    // Everything was read; the caller releases it.
    EXPECT_EQ(attached(), "FOS");
    EXPECT_NE(model_defect(records_), nullptr);
  }
}

// The 105 line is the same for every malformed file; the defect text names
// the rule a complete model broke, and is null for any other outcome.
TEST_F(ModelReaderTest, TheBrokenRuleIsNamed) {
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  const char *const kNotFinite = "a float value is not finite";
  struct Case {
    ShapeCase model;
    QxStatus status;
    const char *defect;
  } const cases[] = {
      {{"hop 0", [](ModelDescription &m) { m.hop_length = 0; }},
       QX_STATUS_INVALID_ARGUMENT, "hop_length is outside 1 to 32768"},
      {{"41 bands", [](ModelDescription &m) { m.num_mel_bands = 41; set_level(m, 0, 3, 82); }},
       QX_STATUS_INVALID_ARGUMENT, "num_mel_bands is outside 1 to 40"},
      {{"feature_std 0", [](ModelDescription &) {},
        [](ModelDescription &m) { m.feature_std[1] = 0.0f; }},
       QX_STATUS_INVALID_ARGUMENT, "a feature_std entry is zero or not finite"},
      {{"directions differ", [](ModelDescription &m) { m.backward_layers[0].hidden_size = 4; }},
       QX_STATUS_INVALID_ARGUMENT, "forward and backward layers of a level differ in size"},
      {{"level 1 input", [](ModelDescription &m) { set_level(m, 1, 2, 4); }},
       QX_STATUS_INVALID_ARGUMENT, "a level's input_size is not the previous hidden_size"},
      {{"pooled size", [](ModelDescription &m) { m.pooled_size = 3; }},
       QX_STATUS_INVALID_ARGUMENT, "pooled_size is not the last hidden_size"},
      {{"output input size", [](ModelDescription &m) { m.output_input_size = 3; }},
       QX_STATUS_INVALID_ARGUMENT, "the output layer's input_size is not embedding_size"},
      {{"log_floor NaN", [](ModelDescription &) {},
        [=](ModelDescription &m) { m.log_floor = kNan; }},
       QX_STATUS_INVALID_ARGUMENT, kNotFinite},
      {{"feature_mean inf", [](ModelDescription &) {},
        [=](ModelDescription &m) { m.feature_mean[1] = kInf; }},
       QX_STATUS_INVALID_ARGUMENT, kNotFinite},
      {{"norm_epsilon NaN", [](ModelDescription &) {},
        [=](ModelDescription &m) { m.norm_epsilon = kNan; }},
       QX_STATUS_INVALID_ARGUMENT, kNotFinite},
      {{"output weight NaN", [](ModelDescription &) {},
        [=](ModelDescription &m) { m.output_weights[5] = kNan; }},
       QX_STATUS_INVALID_ARGUMENT, kNotFinite},
      {{"output bias -inf", [](ModelDescription &) {},
        [=](ModelDescription &m) { m.output_bias[8] = -kInf; }},
       QX_STATUS_INVALID_ARGUMENT, kNotFinite},
      {{"huge but finite weights", [](ModelDescription &) {},
        [](ModelDescription &m) { m.output_weights[0] = 1.35e38f; }},
       QX_STATUS_SUCCESS, nullptr},
      {{"valid", [](ModelDescription &) {}}, QX_STATUS_SUCCESS, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.model.name);
    ModelDescription model = small_model();
    c.model.shape(model);
    ASSERT_TRUE(qx_tools::fill_random_weights(&model, 4));
    c.model.values(model);
    EXPECT_EQ(load(model), c.status);
    EXPECT_EQ(messages_, c.defect ? Chain{kMalformed} : Chain{});
    EXPECT_STREQ(defect_, c.defect);
  }

  ModelDescription projection = small_model(1);
  ASSERT_TRUE(qx_tools::fill_random_weights(&projection, 4));
  projection.projection_weights.back() = kNan;
  EXPECT_EQ(load(projection), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(defect_, kNotFinite);

  // The same 105 line from the header, and a count rejected while reading.
  std::vector<uint8_t> wrong_magic = qx_tools::encode(small_model());
  wrong_magic[2] = 'c';
  EXPECT_EQ(load(wrong_magic), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(messages_, Chain{kMalformed});
  EXPECT_EQ(defect_, nullptr);
  ModelDescription negative_window = small_model();
  negative_window.window_length = -1;
  EXPECT_EQ(load(negative_window), QX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(messages_, (Chain{kMalformed, trace("6a15559")}));
  EXPECT_EQ(defect_, nullptr);
}

// ---- Hostile counts ----------------------------------------------------------------

constexpr int32_t kMax = INT32_MAX;

struct HostileCase {
  const char *name;
  std::function<void(ModelDescription &)> counts;  // arrays stay as the valid model's
  QxStatus status;
  Chain messages;
  const char *file_ends_after = nullptr;  // a field name; null: the whole encoding
};

std::vector<HostileCase> hostile_cases() {
  const Chain features_malformed{kMalformed, trace("6a15559")};
  const Chain output_malformed{kMalformed, trace("0c9e5e9")};
  const Chain stack_malformed{kMalformed, trace("e85c650")};
  const Chain layer_malformed{kMalformed, trace("8c960ef"), trace("e85c650")};
  const Chain projection_malformed{kMalformed, trace("8cc8d77"), trace("e85c650")};
  const QxStatus kInvalid = QX_STATUS_INVALID_ARGUMENT;
  const QxStatus kShort = QX_STATUS_IO_ERROR;
  return {
      {"window -1", [](ModelDescription &m) { m.window_length = -1; }, kInvalid,
       features_malformed},
      {"window 0", [](ModelDescription &m) { m.window_length = 0; }, kInvalid, features_malformed},
      {"window 511", [](ModelDescription &m) { m.window_length = 511; }, kInvalid,
       features_malformed},
      {"window max", [](ModelDescription &m) { m.window_length = kMax; }, kInvalid,
       features_malformed},
      {"bands -1", [](ModelDescription &m) { m.num_mel_bands = -1; }, kInvalid, features_malformed},
      {"bands max", [](ModelDescription &m) { m.num_mel_bands = kMax; }, kInvalid,
       features_malformed},
      {"bands 2^29: 4B overflows", [](ModelDescription &m) { m.num_mel_bands = 1 << 29; },
       kInvalid, features_malformed},
      {"bands 2^29 - 1: beyond the file", [](ModelDescription &m) { m.num_mel_bands = (1 << 29) - 1; },
       kShort, {kShortRead, trace("6a15559")}},
      {"languages -1", [](ModelDescription &m) { m.num_languages = -1; }, kInvalid,
       output_malformed},
      {"languages max", [](ModelDescription &m) { m.num_languages = kMax; }, kInvalid,
       output_malformed},
      {"output input -1", [](ModelDescription &m) { m.output_input_size = -1; }, kInvalid,
       output_malformed},
      {"output 4NK overflows", [](ModelDescription &m) { m.output_input_size = 59652324; },
       kInvalid, output_malformed},
      {"output 4NK beyond the file", [](ModelDescription &m) { m.output_input_size = 59652323; },
       kShort, {trace("5143e09"), trace("0c9e5e9")}},
      {"languages 0", [](ModelDescription &m) { m.num_languages = 0; }, kInvalid,
       {kLanguageCount}, "input_size"},
      {"layers -1", [](ModelDescription &m) { m.num_layers = -1; }, kInvalid, stack_malformed},
      {"layers max", [](ModelDescription &m) { m.num_layers = kMax; }, kInvalid, stack_malformed},
      {"layers beyond the file", [](ModelDescription &m) { m.num_layers = 1000000; }, kShort,
       {kShortRead, trace("8c960ef"), trace("e85c650")}, "backward[1].bias"},
      {"hidden -1", [](ModelDescription &m) { m.forward_layers[0].hidden_size = -1; }, kInvalid,
       layer_malformed},
      {"layer input -1", [](ModelDescription &m) { m.backward_layers[1].input_size = -1; },
       kInvalid, layer_malformed},
      {"hidden max", [](ModelDescription &m) { m.forward_layers[1].hidden_size = kMax; },
       kInvalid, layer_malformed},
      {"hidden and input max", [](ModelDescription &m) { set_level(m, 0, kMax, kMax); }, kInvalid,
       layer_malformed},
      {"3H(H+I) overflows", [](ModelDescription &m) { set_level(m, 0, 26755, 0); }, kInvalid,
       layer_malformed},
      {"3H(H+I) just fits, beyond the file", [](ModelDescription &m) { set_level(m, 0, 26754, 0); },
       kShort, {trace("5143e09"), trace("8c960ef"), trace("e85c650")}},
      {"H = 10000 beyond the file", [](ModelDescription &m) { m.backward_layers[1].hidden_size = 10000; },
       kShort, {trace("5143e09"), trace("8c960ef"), trace("e85c650")}},
      {"embedding -1", [](ModelDescription &m) { m.embedding_size = -1; }, kInvalid,
       projection_malformed},
      {"pooled max", [](ModelDescription &m) { m.pooled_size = kMax; }, kInvalid,
       projection_malformed},
      {"4EP overflows", [](ModelDescription &m) { m.embedding_size = m.pooled_size = 46341; },
       kInvalid, projection_malformed},
      {"4EP beyond the file", [](ModelDescription &m) { m.embedding_size = m.pooled_size = 23170; },
       kShort, {trace("5143e09"), trace("8cc8d77"), trace("e85c650")}},
  };
}

TEST_F(ModelReaderTest, BandArraysBeyondTheFileAreNeverAllocated) {
  // The feature record is the read's first allocation; any later one failing
  // would turn the short read into 200.
  ModelDescription model = small_model();
  model.num_mel_bands = 100000;
  EXPECT_EQ(load(qx_tools::encode(model), qx_test::kModelOpenAllocations + 1, /*persistent=*/true),
            QX_STATUS_IO_ERROR);
  EXPECT_EQ(messages_, (Chain{kShortRead, trace("6a15559")}));
}

// ---- The device interface, seen through a recording device ------------------------

// A host-memory device in the unused type slot 2 that logs every call.
constexpr uint32_t kRecordingDevice = 2;
enum class Call { kHostAlloc, kHostFree, kTensorAlloc, kTensorFree, kMap, kUnmap };
struct Event {
  Call call;
  const void *target;
  int32_t value;  // size, map mode or written flag
};
struct Recording {
  std::vector<Event> events;
  int map_failing = -1;  // index of the map call that returns null
  int maps = 0;
} g_recording;

void *recorded_host_alloc(void *, int32_t size) {
  void *block = size < 0 ? nullptr : aligned_malloc(32, static_cast<size_t>(size));
  g_recording.events.push_back({Call::kHostAlloc, block, size});
  return block;
}
void recorded_host_free(void *, void *block) {
  g_recording.events.push_back({Call::kHostFree, block, 0});
  aligned_free(block);
}
TensorBuffer *recorded_tensor_alloc(void *, int32_t size, int32_t flags) {
  auto *tensor = static_cast<TensorBuffer *>(aligned_malloc(32, sizeof(TensorBuffer)));
  void *data = tensor && size >= 0 ? aligned_malloc(32, static_cast<size_t>(size)) : nullptr;
  if (!data) {
    aligned_free(tensor);
    tensor = nullptr;
  } else {
    *tensor = {size, flags, data};
  }
  g_recording.events.push_back({Call::kTensorAlloc, tensor, size});
  return tensor;
}
void recorded_tensor_free(void *, TensorBuffer *tensor) {
  g_recording.events.push_back({Call::kTensorFree, tensor, 0});
  aligned_free(tensor->data);
  aligned_free(tensor);
}
void *recorded_map(void *, TensorBuffer *tensor, int32_t mode) {
  g_recording.events.push_back({Call::kMap, tensor, mode});
  return g_recording.maps++ == g_recording.map_failing ? nullptr : tensor->data;
}
void recorded_unmap(void *, TensorBuffer *tensor, int32_t written) {
  g_recording.events.push_back({Call::kUnmap, tensor, written});
}
int32_t recorded_tensor_size(void *, TensorBuffer *tensor) { return tensor->size; }

class RecordingDeviceTest : public ModelReaderTest {
 protected:
  void SetUp() override {
    path_ = testing::TempDir() + "qx_model_reader_" + std::to_string(qx_test::process_id()) + ".qx";
    OperationTable &table = operation_table();
    table.host_alloc[kRecordingDevice] = recorded_host_alloc;
    table.host_free[kRecordingDevice] = recorded_host_free;
    table.tensor_alloc[kRecordingDevice] = recorded_tensor_alloc;
    table.tensor_free[kRecordingDevice] = recorded_tensor_free;
    table.map[kRecordingDevice] = recorded_map;
    table.unmap[kRecordingDevice] = recorded_unmap;
    table.tensor_size[kRecordingDevice] = recorded_tensor_size;
    g_recording = Recording{};
    ASSERT_EQ(create_device_context(kRecordingDevice, nullptr, &context_), QX_STATUS_SUCCESS);
  }
  void TearDown() override {
    ModelReaderTest::TearDown();
    context_ = nullptr;
    OperationTable &table = operation_table();
    table.host_alloc[kRecordingDevice] = nullptr;
    table.host_free[kRecordingDevice] = nullptr;
    table.tensor_alloc[kRecordingDevice] = nullptr;
    table.tensor_free[kRecordingDevice] = nullptr;
    table.map[kRecordingDevice] = nullptr;
    table.unmap[kRecordingDevice] = nullptr;
    table.tensor_size[kRecordingDevice] = nullptr;
  }
  std::vector<Event> calls(Call call) const {
    std::vector<Event> found;
    for (const Event &event : g_recording.events) {
      if (event.call == call) found.push_back(event);
    }
    return found;
  }
};

TEST_F(RecordingDeviceTest, EachTensorIsFilledThroughOneWriteMapping) {
  ASSERT_EQ(load(small_model(1)), QX_STATUS_SUCCESS);
  const std::vector<Event> tensors = calls(Call::kTensorAlloc);
  ASSERT_EQ(tensors.size(), 11u);  // output 2, four layers of 2, projection
  std::vector<Event> expected;
  for (const Event &tensor : tensors) {
    expected.push_back({Call::kMap, tensor.target, kMapWrite});
    expected.push_back({Call::kUnmap, tensor.target, 1});
  }
  std::vector<Event> mappings;
  for (const Event &event : g_recording.events) {
    if (event.call == Call::kMap || event.call == Call::kUnmap) mappings.push_back(event);
  }
  ASSERT_EQ(mappings.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(mappings[i].call, expected[i].call) << i;
    EXPECT_EQ(mappings[i].target, expected[i].target) << i;
    EXPECT_EQ(mappings[i].value, expected[i].value) << i;
  }
}

TEST_F(RecordingDeviceTest, ReleaseFollowsTheOwnershipOrder) {
  ASSERT_EQ(load(small_model(1)), QX_STATUS_SUCCESS);
  const OutputLayer *output = records_.output_layer;
  const RecurrentStack *stack = records_.recurrent_stack;
  const std::vector<Event> expected = {
      {Call::kTensorFree, output->bias, 0},
      {Call::kTensorFree, output->weights, 0},
      {Call::kHostFree, output, 0},
      {Call::kTensorFree, stack->projection_weights, 0},
      {Call::kTensorFree, stack->backward_layers[1].bias, 0},
      {Call::kTensorFree, stack->backward_layers[1].weights, 0},
      {Call::kTensorFree, stack->backward_layers[0].bias, 0},
      {Call::kTensorFree, stack->backward_layers[0].weights, 0},
      {Call::kTensorFree, stack->forward_layers[1].bias, 0},
      {Call::kTensorFree, stack->forward_layers[1].weights, 0},
      {Call::kTensorFree, stack->forward_layers[0].bias, 0},
      {Call::kTensorFree, stack->forward_layers[0].weights, 0},
      {Call::kHostFree, stack->backward_layers, 0},
      {Call::kHostFree, stack->forward_layers, 0},
      {Call::kHostFree, stack, 0},
  };
  g_recording.events.clear();
  release();
  ASSERT_EQ(g_recording.events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(g_recording.events[i].call, expected[i].call) << i;
    EXPECT_EQ(g_recording.events[i].target, expected[i].target) << i;
  }
}

TEST_F(RecordingDeviceTest, FailedMappingIsAFailedRead) {
  const Chain output{trace("5143e09"), trace("0c9e5e9")};
  const Chain layer{trace("5143e09"), trace("8c960ef"), trace("e85c650")};
  const Chain projection{trace("5143e09"), trace("8cc8d77"), trace("e85c650")};
  const Chain expected[] = {output, output, layer, layer, layer, layer,
                            layer,  layer,  layer, layer, projection};
  for (int failing = 0; failing < 11; ++failing) {
    SCOPED_TRACE(failing);
    g_recording = Recording{};
    g_recording.map_failing = failing;
    EXPECT_EQ(load(small_model(1)), QX_STATUS_IO_ERROR);
    EXPECT_EQ(messages_, expected[failing]);
    EXPECT_EQ(calls(Call::kUnmap).size(), static_cast<size_t>(failing)) << "only mapped views";
  }
}

// Each hostile count fails with its chain, and none makes the reader ask the
// device for more memory than the file holds.
TEST_F(RecordingDeviceTest, HostileCountsFailBeforeTheyAreUsed) {
  for (const HostileCase &c : hostile_cases()) {
    SCOPED_TRACE(c.name);
    ModelDescription model = small_model(1);
    c.counts(model);
    std::vector<uint8_t> bytes = c.file_ends_after ? encoded_through(model, c.file_ends_after)
                                                   : qx_tools::encode(model);
    g_recording = Recording{};
    EXPECT_EQ(load(bytes), c.status);
    EXPECT_EQ(messages_, c.messages);
    for (const Event &event : g_recording.events) {
      if (event.call == Call::kHostAlloc || event.call == Call::kTensorAlloc) {
        EXPECT_LE(event.value, static_cast<int64_t>(bytes.size()));
      }
    }
  }
}

// ---- The writer ----------------------------------------------------------------------

TEST(ModelWriterTest, LayoutFollowsTheFileFormat) {
  const ModelDescription model = small_model(1);
  const int64_t B = 2, N = 9, K = 4, E = 4, P = 2;
  const int64_t S = 32 + 8 * B + 4 * N * K + 4 * N;
  EXPECT_EQ(field_named(model, "feature_std").begin, static_cast<size_t>(24 + 4 * B));
  EXPECT_EQ(field_named(model, "num_languages").begin, static_cast<size_t>(24 + 8 * B));
  EXPECT_EQ(field_named(model, "output_bias").begin, static_cast<size_t>(32 + 8 * B + 4 * N * K));
  EXPECT_EQ(field_named(model, "num_layers").begin, static_cast<size_t>(S));
  EXPECT_EQ(field_named(model, "forward[0].hidden_size").begin, static_cast<size_t>(S + 8));
  auto record = [](int64_t h, int64_t i) { return 8 + 3 * h * (h + i) + 3 * h; };
  const int64_t layers = 2 * (record(3, 4) + record(2, 3));
  EXPECT_EQ(field_named(model, "embedding_size").begin, static_cast<size_t>(S + 8 + layers));
  EXPECT_EQ(qx_tools::encode(model).size(), static_cast<size_t>(S + 8 + layers + 12 + 4 * E * P));
}

TEST(ModelWriterTest, DescriptionsBuildTheSameModelAsTheShapes) {
  ModelDescription parsed;
  std::string error;
  ASSERT_TRUE(qx_tools::parse_description(
      "# two levels\nseed = 11\nnum_mel_bands = 2\nlevel0_input_size = 4\n"
      "hidden_sizes = 3, 2\nhas_projection = 1\nembedding_size = 4\n",
      &parsed, &error))
      << error;
  EXPECT_EQ(qx_tools::encode(parsed), qx_tools::encode(small_model(1)));

  ASSERT_TRUE(qx_tools::parse_description("hidden_sizes = 4\nforward.0.bias = 1 2 3 4 5 6 7 8 9 10 11 12\n",
                                          &parsed, &error))
      << error;
  EXPECT_EQ(parsed.forward_layers[0].bias[11], 12);

  const char *rejected[] = {
      "forward.0.bias = 1 2 3\n",      // not 3H values
      "hop_length = many\n",           // not a number
      "hop_length = 1\nhop_length = 2\n",
      "colour = blue\n",
      "forward.0.weights = 300\n",
  };
  for (const char *text : rejected) {
    EXPECT_FALSE(qx_tools::parse_description(text, &parsed, &error)) << text;
  }
}

}  // namespace
