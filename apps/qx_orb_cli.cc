// qx-orb: which language is spoken in audio files, frame by frame, with
// segments, a verdict per file, subtitles and a plot.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_input.h"
#include "formats.h"
#include "options.h"
#include "plot.h"
#include "progress.h"
#include "qx_orb.h"
#include "report.h"
#include "segments.h"

namespace {

using Clock = std::chrono::steady_clock;

// The library's line for a failure site that gives no detail.
const char kGenericLibraryMessage[] = "Marlow Error.";
// The code of a trace line, which names a call site, not a cause.
constexpr unsigned kTraceCode = 310;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct LibraryError {
  std::string message;             // the innermost cause, without build tag and code
  unsigned code = 0;               // its code
  std::vector<std::string> lines;  // the stack as the library gave it
};

// Codes of failures to open a device (a bad device string, a backend that
// cannot start, a missing GPU library or device) as opposed to reading
// the model.
bool is_device_code(unsigned code) {
  return code == 300 || code == 802 || code == 805 || code == 806 ||
         (code >= 830 && code <= 836);
}

// Collects the calling thread's messages after a failed call.
LibraryError collect_error(QxStatus status) {
  LibraryError error;
  char **lines = nullptr;
  int32_t depth = 0;
  if (qx_get_error_stack(&lines, &depth) == QX_STATUS_SUCCESS ||
      (lines && depth > 0)) {
    for (int32_t i = 0; i < depth; ++i) {
      const std::string line = lines[i] ? lines[i] : "";
      error.lines.push_back(line);
      char tag[32];
      unsigned code = 0;
      int text_at = 0;
      // "<build tag> <code in hex>: <text>"
      if (std::sscanf(line.c_str(), "%31s %8X: %n", tag, &code, &text_at) >= 2 && text_at > 0) {
        const std::string text = line.substr(static_cast<size_t>(text_at));
        if (error.message.empty() && code != kTraceCode && text != kGenericLibraryMessage) {
          error.message = text;
          error.code = code;
        }
      }
    }
  }
  qx_free_error_stack(lines);
  if (error.message.empty()) {
    const char *name = qx_status_to_string(status);
    error.message = std::string("the library reports ") + (name ? name : "an unknown status");
  }
  return error;
}

class Program {
 public:
  explicit Program(const Options &options)
      : options_(options),
        progress_(!options.quiet && isatty(STDERR_FILENO)),
        frame_length_(qx_orb_frame_length()),
        rate_(qx_sample_rate()) {}

  ~Program() { qx_orb_delete(engine_); }

  int run();

 private:
  enum class Outcome { kSpeech, kNoSpeech, kIncomplete, kInputError, kEngineError };

  void error(const std::string &message) {
    progress_.clear();
    std::fprintf(stderr, "qx-orb: %s\n", valid_utf8(message).c_str());
  }
  void library_error(const std::string &what, QxStatus status) {
    const LibraryError failure = collect_error(status);
    error(what + ": " + failure.message);
    if (options_.verbose) {
      for (const std::string &line : failure.lines) std::fprintf(stderr, "  %s\n", line.c_str());
    }
  }
  void note(const std::string &message) {
    if (options_.quiet) return;
    error(message);
  }

  bool open_engine();
  Outcome process(const std::string &input, Report *report);

  const Options &options_;
  Progress progress_;
  const int32_t frame_length_;
  const int32_t rate_;
  std::string model_;
  QxOrb *engine_ = nullptr;
  bool engine_fresh_ = false;  // nothing has gone through engine_ yet
  double audio_seconds_ = 0.0, busy_seconds_ = 0.0;
};

bool Program::open_engine() {
  qx_orb_delete(engine_);
  engine_ = nullptr;
  const QxStatus status =
      qx_orb_init(model_.c_str(), options_.device.c_str(), options_.threshold, &engine_);
  if (status == QX_STATUS_SUCCESS) {
    engine_fresh_ = true;
    return true;
  }
  const LibraryError failure = collect_error(status);
  if (failure.code == 0) {  // no message tells which of the two failed
    error("cannot start the engine with model " + model_ + " on device '" + options_.device +
          "': " + failure.message);
  } else if (is_device_code(failure.code)) {
    error("cannot use device '" + options_.device + "': " + failure.message +
          " (qx-orb --help names the devices of this build)");
  } else {
    error("cannot open model " + model_ + ": " + failure.message);
  }
  if (options_.verbose) {
    for (const std::string &line : failure.lines) std::fprintf(stderr, "  %s\n", line.c_str());
  }
  return false;
}

int Program::run() {
  std::string origin;
  model_ = options_.model.empty() ? default_model_path(&origin) : options_.model;
  if (options_.verbose) {
    std::fprintf(stderr, "qx-orb: model %s%s\n", model_.c_str(),
                 origin.empty() ? "" : (" (" + origin + ")").c_str());
  }
  // The model and options are checked before any audio is touched.
  const Clock::time_point load_start = Clock::now();
  if (!open_engine()) return kExitUsage;
  if (options_.timing) {
    std::fprintf(stderr, "qx-orb: timing: model loaded in %.3f s\n", seconds_since(load_start));
  }

  Report report(options_.format, stdout, &progress_, model_);
  bool input_error = false, engine_error = false, incomplete = false, speech = false;
  for (const std::string &input : options_.inputs) {
    // The voice detector carries state from frame to frame: each input starts
    // with a fresh engine, so results never depend on the inputs before it.
    if (!engine_fresh_ && !open_engine()) return kExitUsage;
    switch (process(input, &report)) {
      case Outcome::kSpeech: speech = true; break;
      case Outcome::kNoSpeech: break;
      case Outcome::kIncomplete: incomplete = true; break;
      case Outcome::kInputError: input_error = true; break;
      case Outcome::kEngineError: engine_error = true; break;
    }
  }
  progress_.clear();
  std::fflush(stdout);
  if (options_.timing && options_.inputs.size() > 1 && audio_seconds_ > 0) {
    std::fprintf(stderr, "qx-orb: timing: all inputs: %.3f s of audio in %.3f s, real-time "
                 "factor %.4f\n", audio_seconds_, busy_seconds_, busy_seconds_ / audio_seconds_);
  }
  if (std::ferror(stdout)) {
    error("writing the results failed");
    return kExitUsage;
  }
  if (input_error) return kExitUsage;
  if (engine_error) return kExitEngine;
  if (incomplete) return kExitIncomplete;
  return speech ? kExitSpeech : kExitNoSpeech;
}

Program::Outcome Program::process(const std::string &input, Report *report) {
  const std::string shown = input == "-" ? "standard input" : input;
  const Clock::time_point start = Clock::now();
  AudioDecoder decoder;
  if (!decoder.open(input, rate_)) {
    error(decoder.error());
    return Outcome::kInputError;
  }

  // Side files are created before decoding, so a bad path fails at once, and
  // removed again when the input yields no results.
  struct SideFile {
    std::string path;
    std::FILE *file = nullptr;
    char kind;  // 's'rt, 'v'tt, 'p'lot
  };
  std::vector<SideFile> sides;
  for (const auto &[pattern, kind] : {std::pair<const std::string &, char>{options_.srt, 's'},
                                      {options_.vtt, 'v'},
                                      {options_.plot, 'p'}}) {
    if (pattern.empty()) continue;
    SideFile side{side_file_name(pattern, input), nullptr, kind};
    side.file = std::fopen(side.path.c_str(), "w");
    if (!side.file) {
      error("cannot write " + side.path + ": " + std::strerror(errno));
      for (SideFile &opened : sides) {
        std::fclose(opened.file);
        std::remove(opened.path.c_str());
      }
      return Outcome::kInputError;
    }
    sides.push_back(side);
  }
  auto discard_sides = [&] {
    for (SideFile &side : sides) {
      std::fclose(side.file);
      std::remove(side.path.c_str());
    }
  };

  if (options_.verbose) std::fprintf(stderr, "qx-orb: %s: %s\n", shown.c_str(),
                                     decoder.description().c_str());
  report->begin_file(input, options_.verbose ? decoder.description() : "");
  progress_.start(shown, decoder.declared_seconds());
  engine_fresh_ = false;

  std::vector<int16_t> frame(static_cast<size_t>(frame_length_));
  size_t filled = 0;
  int64_t samples = 0;
  std::vector<FrameResult> frames;
  bool engine_failed = false;
  // Classifies `frame`, of which the first `real` samples are audio.
  auto classify = [&](size_t real) {
    FrameResult result;
    const int index = static_cast<int>(frames.size());
    result.start = static_cast<double>(index) * frame_length_ / rate_;
    result.end = result.start + static_cast<double>(real) / rate_;
    result.padded = real < frame.size();
    float *scores = nullptr;
    const QxStatus status = qx_orb_process(engine_, frame.data(), &scores);
    if (status != QX_STATUS_SUCCESS) {
      char where[96];
      std::snprintf(where, sizeof where, ": frame %d at %.3f s", index, result.start);
      library_error(shown + where, status);
      engine_failed = true;
      return false;
    }
    if (scores) {
      result.voiced = true;
      for (int l = 0; l < kLanguages; ++l) result.scores[l] = scores[l];
      result.language = top_language(result.scores);
      qx_orb_scores_delete(scores);
    }
    report->frame(index, result);
    frames.push_back(result);
    return true;
  };
  const bool decoded = decoder.decode([&](const int16_t *pcm, size_t count) {
    samples += static_cast<int64_t>(count);
    while (count > 0) {
      const size_t take = std::min(count, frame.size() - filled);
      std::copy(pcm, pcm + take, frame.begin() + static_cast<std::ptrdiff_t>(filled));
      filled += take;
      pcm += take;
      count -= take;
      if (filled == frame.size()) {
        if (!classify(filled)) return false;
        filled = 0;
      }
    }
    progress_.update(decoder.decoded_seconds());
    return true;
  });
  if (decoded && filled > 0) {
    std::fill(frame.begin() + static_cast<std::ptrdiff_t>(filled), frame.end(), 0);
    classify(filled);
  }
  progress_.clear();
  if (engine_failed || !decoded) {
    if (!engine_failed) error(shown + ": " + decoder.error());
    discard_sides();
    return engine_failed ? Outcome::kEngineError : Outcome::kInputError;
  }

  const double duration = static_cast<double>(samples) / rate_;
  const std::vector<Segment> segments = make_segments(frames, options_.segments);
  const Verdict verdict = make_verdict(frames);
  std::vector<std::string> warnings = decoder.warnings();
  if (frames.empty()) warnings.push_back("no audio in it");
  const FileSummary summary{duration, !decoder.incomplete(), &frames, &segments, &verdict,
                            &warnings};
  report->end_file(summary);

  bool side_failed = false;
  for (SideFile &side : sides) {
    if (side.kind == 's') write_srt(side.file, segments);
    if (side.kind == 'v') write_vtt(side.file, segments);
    if (side.kind == 'p') {
      write_svg(side.file, PlotInput{input == "-" ? "standard input" : input, model_, duration,
                                     &frames, &segments, &verdict});
    }
    if (std::ferror(side.file) | std::fclose(side.file)) {
      error("writing " + side.path + " failed");
      side_failed = true;
    }
  }
  for (const std::string &warning : warnings) note(shown + ": warning: " + warning);

  const double busy = seconds_since(start);
  audio_seconds_ += duration;
  busy_seconds_ += busy;
  if (options_.timing) {
    std::fprintf(stderr, "qx-orb: timing: %s: %.3f s of audio in %.3f s, real-time factor %.4f\n",
                 shown.c_str(), duration, busy, duration > 0 ? busy / duration : 0.0);
  }
  if (side_failed) return Outcome::kInputError;
  if (decoder.incomplete()) return Outcome::kIncomplete;
  return verdict.found ? Outcome::kSpeech : Outcome::kNoSpeech;
}

int list_devices() {
  char **devices = nullptr;
  int32_t count = 0;
  const QxStatus status = qx_orb_list_hardware_devices(&devices, &count);
  if (status != QX_STATUS_SUCCESS) {
    std::fprintf(stderr, "qx-orb: cannot list devices: %s\n", collect_error(status).message.c_str());
    return kExitUsage;
  }
  for (int32_t i = 0; i < count; ++i) std::printf("%s\n", devices[i]);
  qx_orb_free_hardware_devices(devices, count);
  return kExitSpeech;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  std::string problem;
  if (!parse_options(argc, argv, &options, &problem)) {
    std::fprintf(stderr, "qx-orb: %s\nTry 'qx-orb --help' for the options.\n",
                 valid_utf8(problem).c_str());
    return kExitUsage;
  }
  // The library's console channel writes to standard output, which is for results.
  qx_log_disable();
  if (options.help) {
    std::fputs(help_text().c_str(), stdout);
    return kExitSpeech;
  }
  if (options.version) {
    std::printf("qx-orb %s (libqx_orb %s)\n", QX_ORB_VERSION, qx_orb_version());
    return kExitSpeech;
  }
  if (options.list_devices) return list_devices();
  return Program(options).run();
}
