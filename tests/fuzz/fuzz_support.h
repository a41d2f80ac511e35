// Shared by the fuzz targets: the error stack drained after every call, the
// scores checked, the frames the engine is fed and a scratch file that holds
// each input.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qx_orb.h"

namespace qx_fuzz {

// Prints a finding and stops: libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char *what, double value = 0.0, int index = -1) {
  std::fprintf(stderr, "qx fuzz finding: %s (value %.9g, index %d)\n", what, value, index);
  std::abort();
}

// Takes and frees the calling thread's messages, whatever the last call did,
// so that no input sees the previous one's. The messages must be readable
// strings and at most 8 of them.
inline void drain_error_stack() {
  char **messages = nullptr;
  int32_t depth = 0;
  const QxStatus status = qx_get_error_stack(&messages, &depth);
  if (status == QX_STATUS_SUCCESS || status == QX_STATUS_OUT_OF_MEMORY) {
    if (!messages) fail("error stack delivered without an array");
    if (depth < 0 || depth > 8) fail("error stack depth outside 0 to 8", depth);
    for (int32_t i = 0; i < depth; ++i) {
      if (!messages[i] || std::strlen(messages[i]) == 0) fail("empty error message", 0, i);
    }
  }
  qx_free_error_stack(messages);
}

// Scores of a classified frame: all finite probabilities. The bound above 1
// allows the rounding of a reciprocal scaling.
inline void check_scores(const float *scores) {
  if (!scores) fail("a frame classified at threshold 0 returned no scores");
  for (int i = 0; i < QX_ORB_NUM_LANGUAGES; ++i) {
    const float s = scores[i];
    if (!std::isfinite(s)) fail("non-finite score", static_cast<double>(s), i);
    if (s < 0.0f || s > 1.0001f) fail("score outside 0 to 1", static_cast<double>(s), i);
  }
}

// Runs one frame and checks the outcome: a success must carry valid scores
// (threshold 0 classifies every frame); a failure is returned to the caller.
inline QxStatus process_and_check(QxOrb *orb, const int16_t *frame) {
  float *scores = nullptr;
  const QxStatus status = qx_orb_process(orb, frame, &scores);
  if (status == QX_STATUS_SUCCESS) {
    check_scores(scores);
  } else if (scores) {
    fail("a failed frame left scores behind", status);
  }
  qx_orb_scores_delete(scores);
  drain_error_stack();
  return status;
}

inline size_t frame_length() { return static_cast<size_t>(qx_orb_frame_length()); }

// A loud, voice-like frame: a 125 Hz sawtooth over noise, the same integers
// as the golden test's first frame.
inline const std::vector<int16_t> &loud_frame() {
  static const std::vector<int16_t> frame = [] {
    std::vector<int16_t> made(frame_length());
    uint32_t state = 0x2545F491u;
    for (size_t n = 0; n < made.size(); ++n) {
      state = state * 1664525u + 1013904223u;
      const int32_t noise = static_cast<int32_t>(state >> 22) - 512;
      made[n] = static_cast<int16_t>(static_cast<int32_t>(n % 128) * 256 - 16384 + noise);
    }
    return made;
  }();
  return frame;
}

inline const std::vector<int16_t> &silent_frame() {
  static const std::vector<int16_t> frame(frame_length(), 0);
  return frame;
}

// One scratch file per process, rewritten for every input: the library and
// libsndfile read paths, not memory. `in_memory` makes it a memfd (named by
// its /proc path) instead of a regular file in $TMPDIR.
class ScratchFile {
 public:
  explicit ScratchFile(bool in_memory) {
    if (in_memory) {
      fd_ = memfd_create("qx_fuzz_input", 0);
      if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
    } else {
      const char *dir = std::getenv("TMPDIR");
      std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/qx_fuzz_XXXXXX";
      std::vector<char> name(pattern.begin(), pattern.end());
      name.push_back('\0');
      fd_ = mkstemp(name.data());
      if (fd_ >= 0) {
        path_ = name.data();
        unlink_at_exit_ = true;
      }
    }
    if (fd_ < 0) {
      std::perror("qx fuzz: scratch file");
      std::exit(2);  // not a finding: the harness cannot run
    }
  }
  ~ScratchFile() {
    if (unlink_at_exit_) unlink(path_.c_str());
    close(fd_);
  }
  ScratchFile(const ScratchFile &) = delete;
  ScratchFile &operator=(const ScratchFile &) = delete;

  // Replaces the contents with `size` bytes and returns the path.
  const std::string &write(const uint8_t *data, size_t size) {
    if (ftruncate(fd_, 0) != 0) harness_error("truncate");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) harness_error("write");
      done += static_cast<size_t>(n);
    }
    return path_;
  }

 private:
  [[noreturn]] static void harness_error(const char *what) {
    std::perror(what);
    std::exit(2);
  }

  int fd_ = -1;
  std::string path_;
  bool unlink_at_exit_ = false;
};

}  // namespace qx_fuzz
