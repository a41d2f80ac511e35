// The model reader on arbitrary bytes: the input is the whole ".qx" file.
// A model the reader accepts must then classify a loud and a silent frame
// (threshold 0 classifies every frame) with finite probabilities; a frame
// that fails with a status is an accepted outcome, scores that are not
// finite or outside 0 to 1 on success are a finding.
#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "fuzz_support.h"

namespace {

// A frame costs 32768 / hop windows. A valid model may step by a single
// sample, which takes seconds per input under the sanitizers while only
// the window loop runs longer; such models are read but not run, so that
// the fuzzer's time goes to the reader.
constexpr int32_t kShortestHopRun = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  qx_log_disable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static qx_fuzz::ScratchFile file(false);
  const std::string &path = file.write(data, size);

  QxOrb *orb = nullptr;
  const QxStatus status = qx_orb_init(path.c_str(), "cpu:1", 0.0f, &orb);
  if (status != QX_STATUS_SUCCESS) {
    if (orb) qx_fuzz::fail("a failed init handed out an engine", status);
    qx_fuzz::drain_error_stack();
    return 0;
  }
  if (!orb) qx_fuzz::fail("a successful init handed out no engine");
  qx_fuzz::drain_error_stack();
  if (orb->model.feature_settings->hop_length >= kShortestHopRun) {
    qx_fuzz::process_and_check(orb, qx_fuzz::loud_frame().data());
    qx_fuzz::process_and_check(orb, qx_fuzz::silent_frame().data());
  }
  qx_orb_delete(orb);
  return 0;
}
