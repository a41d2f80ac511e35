// qx_orb_demo: which language is spoken in an audio file, frame by frame.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio_input.h"
#include "qx_orb.h"

namespace {

struct Options {
  std::string model = QX_ORB_DEFAULT_MODEL;
  std::string device = "best";
  float threshold = 0.5f;
  bool json = false;
  bool list_devices = false;
  std::string audio;
};

const char kUsage[] =
    "usage: qx_orb_demo [options] AUDIO_FILE\n"
    "\n"
    "Tells which language is spoken in AUDIO_FILE (any format libsndfile reads,\n"
    "any sample rate; channels are averaged and the audio resampled to 16 kHz).\n"
    "\n"
    "options:\n"
    "  --model PATH      model file (default: the bundled model)\n"
    "  --device STRING   best, cpu, cpu:THREADS (default: best)\n"
    "  --threshold P     voice threshold in [0, 1] (default: 0.5)\n"
    "  --json            one JSON object per frame, then a summary object\n"
    "  --list-devices    print the devices this machine offers and exit\n"
    "  --version         print the library version and exit\n"
    "  --help            print this text and exit\n";

void print_error_stack() {
  char **lines = nullptr;
  int32_t depth = 0;
  qx_get_error_stack(&lines, &depth);
  for (int32_t i = 0; i < depth; ++i) std::fprintf(stderr, "  %s\n", lines[i]);
  qx_free_error_stack(lines);
}

int fail(const char *what, QxStatus status) {
  std::fprintf(stderr, "qx_orb_demo: %s failed: %s\n", what, qx_status_to_string(status));
  print_error_stack();
  return 1;
}

// Returns 0 to go on, otherwise the exit code (with `done` set to exit now).
int parse(int argc, char **argv, Options *options, bool *done) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qx_orb_demo: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      *done = true;
      return 0;
    } else if (arg == "--version") {
      std::printf("qx_orb_demo, libqx_orb %s\n", qx_orb_version());
      *done = true;
      return 0;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--list-devices") {
      options->list_devices = true;
    } else if (arg == "--model" || arg == "--device" || arg == "--threshold") {
      const char *text = value(arg.c_str());
      if (!text) return 2;
      if (arg == "--model") options->model = text;
      if (arg == "--device") options->device = text;
      if (arg == "--threshold") {
        char *end = nullptr;
        options->threshold = std::strtof(text, &end);
        if (end == text || *end != '\0') {
          std::fprintf(stderr, "qx_orb_demo: --threshold needs a number, not '%s'\n", text);
          return 2;
        }
      }
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "qx_orb_demo: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else if (options->audio.empty()) {
      options->audio = arg;
    } else {
      std::fprintf(stderr, "qx_orb_demo: one audio file at a time\n");
      return 2;
    }
  }
  if (!options->list_devices && options->audio.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return 0;
}

int list_devices() {
  char **devices = nullptr;
  int32_t count = 0;
  const QxStatus status = qx_orb_list_hardware_devices(&devices, &count);
  if (status != QX_STATUS_SUCCESS) return fail("listing devices", status);
  for (int32_t i = 0; i < count; ++i) std::printf("%s\n", devices[i]);
  qx_orb_free_hardware_devices(devices, count);
  return 0;
}

void draw_progress(int32_t done, int32_t total) {
  constexpr int kWidth = 40;
  const int filled = static_cast<int>(static_cast<int64_t>(done) * kWidth / total);
  std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
               kWidth - filled, "", static_cast<int>(static_cast<int64_t>(done) * 100 / total));
  if (done == total) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  bool done = false;
  if (const int code = parse(argc, argv, &options, &done); code != 0 || done) return code;
  if (options.list_devices) return list_devices();

  const int32_t frame_length = qx_orb_frame_length();
  const int32_t rate = qx_sample_rate();
  std::vector<int16_t> samples;
  std::string error;
  if (!read_audio_mono(options.audio, rate, &samples, &error)) {
    std::fprintf(stderr, "qx_orb_demo: %s\n", error.c_str());
    return 1;
  }

  QxOrb *orb = nullptr;
  QxStatus status =
      qx_orb_init(options.model.c_str(), options.device.c_str(), options.threshold, &orb);
  if (status != QX_STATUS_SUCCESS) return fail("initialisation", status);

  const int32_t frames =
      static_cast<int32_t>((samples.size() + frame_length - 1) / frame_length);
  samples.resize(static_cast<size_t>(frames) * frame_length, 0);  // zero-pad the last frame
  const bool progress = !options.json && isatty(STDERR_FILENO) && samples.size() > 60u * rate;

  double share[QX_ORB_NUM_LANGUAGES] = {};
  int32_t voiced = 0;
  for (int32_t f = 0; f < frames && status == QX_STATUS_SUCCESS; ++f) {
    float *scores = nullptr;
    status = qx_orb_process(orb, samples.data() + static_cast<size_t>(f) * frame_length, &scores);
    if (status != QX_STATUS_SUCCESS) break;
    const double start = static_cast<double>(f) * frame_length / rate;
    QxOrbLanguage best = 0;
    if (scores) {
      ++voiced;
      for (QxOrbLanguage l = 0; l < QX_ORB_NUM_LANGUAGES; ++l) {
        if (scores[l] > scores[best]) best = l;
      }
      share[best] += 1.0;
    }
    if (options.json) {
      std::printf("{\"start\": %.3f, \"voiced\": %s", start, scores ? "true" : "false");
      if (scores) {
        std::printf(", \"language\": \"%s\", \"probability\": %.4f, \"scores\": {",
                    qx_orb_language_to_string(best), scores[best]);
        for (QxOrbLanguage l = 0; l < QX_ORB_NUM_LANGUAGES; ++l) {
          std::printf("%s\"%s\": %.4f", l ? ", " : "", qx_orb_language_to_string(l), scores[l]);
        }
        std::printf("}");
      }
      std::printf("}\n");
    } else if (!progress) {
      if (scores) {
        std::printf("%8.3f s  voiced    %-7s %.2f\n", start, qx_orb_language_to_string(best),
                    scores[best]);
      } else {
        std::printf("%8.3f s  unvoiced\n", start);
      }
    }
    qx_orb_scores_delete(scores);
    if (progress) draw_progress(f + 1, frames);
  }
  qx_orb_delete(orb);
  if (status != QX_STATUS_SUCCESS) return fail("processing", status);

  if (options.json) {
    std::printf("{\"summary\": {\"frames\": %d, \"voiced\": %d, \"shares\": {", frames, voiced);
    for (QxOrbLanguage l = 0; l < QX_ORB_NUM_LANGUAGES; ++l) {
      std::printf("%s\"%s\": %.4f", l ? ", " : "", qx_orb_language_to_string(l),
                  voiced ? share[l] / voiced : 0.0);
    }
    std::printf("}}}\n");
  } else {
    std::printf("\n%d frames, %d voiced\n", frames, voiced);
    for (QxOrbLanguage l = 0; l < QX_ORB_NUM_LANGUAGES && voiced; ++l) {
      if (share[l] > 0) {
        std::printf("  %-7s %5.1f%%\n", qx_orb_language_to_string(l), 100.0 * share[l] / voiced);
      }
    }
  }
  return 0;
}
