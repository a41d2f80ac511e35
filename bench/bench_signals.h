// What the engine-level benchmarks feed the engine: a model file and a
// voiced test frame, the same in every benchmark so their figures compare.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "model_writer.h"

namespace qx_bench {

// The default-shape model, written once per process, or the model file
// named by QX_BENCH_MODEL (for example the bundled models/default.qx).
inline const std::string &model_path() {
  static const std::string path = [] {
    if (const char *given = std::getenv("QX_BENCH_MODEL")) return std::string(given);
    const char *directory = std::getenv("TMPDIR");
    std::string made = std::string(directory ? directory : "/tmp") + "/qx_bench_model_" +
                       std::to_string(static_cast<long>(::getpid())) + ".qx";
    qx_tools::write_file(made, qx_tools::encode(qx_tools::default_model(7)));
    std::atexit([] { std::remove(model_path().c_str()); });
    return made;
  }();
  return path;
}

// A model of the default shape but with both levels of `hidden` units,
// written once per process and size: the shapes at which the worker pool
// starts to take part.
inline std::string model_path_with_hidden(int32_t hidden) {
  const char *directory = std::getenv("TMPDIR");
  const std::string path = std::string(directory ? directory : "/tmp") + "/qx_bench_model_" +
                           std::to_string(static_cast<long>(::getpid())) + "_h" +
                           std::to_string(hidden) + ".qx";
  static std::vector<std::string> made;
  for (const std::string &done : made) {
    if (done == path) return path;
  }
  qx_tools::ModelShape shape;
  shape.hidden_sizes = {hidden, hidden};
  qx_tools::write_file(path, qx_tools::encode(qx_tools::random_model(shape, 7)));
  if (made.empty()) {
    std::atexit([] {
      for (const std::string &done : made) std::remove(done.c_str());
    });
  }
  made.push_back(path);
  return path;
}

// A gliding, pulsing tone with noise: the detector calls it voiced.
inline std::vector<int16_t> speech_like_frame() {
  std::vector<int16_t> frame(32768);
  uint32_t state = 12345;
  for (size_t i = 0; i < frame.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double t = i / 16000.0;
    const double voice = 9000 * std::sin(2 * M_PI * (150 + 40 * std::sin(2 * M_PI * 3 * t)) * t) *
                         (0.5 + 0.5 * std::sin(2 * M_PI * 4 * t));
    frame[i] = static_cast<int16_t>(voice + static_cast<int32_t>(state >> 20) - 2048);
  }
  return frame;
}

}  // namespace qx_bench
