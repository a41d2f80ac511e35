// qx_orb_process on fuzzed audio through the committed valid models.
//
// Input: byte 0 picks the model (low bits), whether the frame runs a second
// time on the detector state the first left (bit 6) and how a short input
// fills the frame (bit 7: repeated, else followed by zeros); the rest are
// little-endian int16 samples, at most one frame. A fresh engine per input
// keeps the detector's state from leaking between inputs. Every call on a
// valid model and a frame of the right length must succeed with finite
// probabilities (threshold 0 classifies every frame).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

const char *const kModels[] = {
    QX_FUZZ_SOURCE_DIR "/models/default.qx",
    QX_FUZZ_SOURCE_DIR "/tests/golden/plain.qx",
    QX_FUZZ_SOURCE_DIR "/tests/golden/projection.qx",
};
constexpr size_t kModelCount = sizeof(kModels) / sizeof(kModels[0]);

void fail_with_messages(const char *what, QxStatus status) {
  char **messages = nullptr;
  int32_t depth = 0;
  if (qx_get_error_stack(&messages, &depth) == QX_STATUS_SUCCESS) {
    for (int32_t i = 0; i < depth; ++i) std::fprintf(stderr, "  %s\n", messages[i]);
  }
  qx_free_error_stack(messages);
  qx_fuzz::fail(what, status);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  qx_log_disable();
  // A missing model would make every input look like a finding.
  for (const char *model : kModels) {
    QxOrb *orb = nullptr;
    if (qx_orb_init(model, "cpu:1", 0.0f, &orb) != QX_STATUS_SUCCESS) {
      std::fprintf(stderr, "qx fuzz: cannot load %s\n", model);
      std::exit(2);
    }
    qx_orb_delete(orb);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const char *model = kModels[(data[0] & 0x3F) % kModelCount];
  const int passes = (data[0] & 0x40) != 0 ? 2 : 1;
  const bool repeat = (data[0] & 0x80) != 0;
  const size_t length = qx_fuzz::frame_length();
  const size_t given = std::min((size - 1) / 2, length);

  static std::vector<int16_t> frame(length);
  std::memcpy(frame.data(), data + 1, given * sizeof(int16_t));
  if (repeat && given > 0) {
    for (size_t i = given; i < length; ++i) frame[i] = frame[i - given];
  } else {
    std::fill(frame.begin() + static_cast<std::ptrdiff_t>(given), frame.end(), int16_t{0});
  }

  QxOrb *orb = nullptr;
  const QxStatus init = qx_orb_init(model, "cpu:1", 0.0f, &orb);
  if (init != QX_STATUS_SUCCESS) fail_with_messages("a valid model failed to load", init);
  qx_fuzz::drain_error_stack();
  for (int pass = 0; pass < passes; ++pass) {
    float *scores = nullptr;
    const QxStatus status = qx_orb_process(orb, frame.data(), &scores);
    if (status != QX_STATUS_SUCCESS) fail_with_messages("a frame failed on a valid model", status);
    qx_fuzz::check_scores(scores);
    qx_orb_scores_delete(scores);
    qx_fuzz::drain_error_stack();
  }
  qx_orb_delete(orb);
  return 0;
}
