#include "options.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "qx_orb.h"

namespace {

// Longer than any audio one would run through a frame classifier.
constexpr double kMaxSeconds = 1e7;

bool parse_number(const std::string &text, double *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && std::isfinite(*value);
}

bool parse_seconds(const std::string &name, const std::string &text, double *value,
                   std::string *error) {
  if (!parse_number(text, value) || *value < 0.0 || *value > kMaxSeconds) {
    *error = name + " needs a number of seconds from 0 to 1e7, not '" + text + "'";
    return false;
  }
  return true;
}

std::string stem(const std::string &input) {
  if (input == "-") return "stdin";
  std::string name = input.substr(input.find_last_of('/') == std::string::npos
                                      ? 0
                                      : input.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "audio" : name;
}

// The device line of --help names only what this build and machine offer.
std::string device_help() {
  char **devices = nullptr;
  int32_t count = 0;
  std::string offered;
  bool gpu = false;
  if (qx_orb_list_hardware_devices(&devices, &count) == QX_STATUS_SUCCESS) {
    for (int32_t i = 0; i < count; ++i) {
      offered += std::string("                          ") + devices[i] + "\n";
      if (std::strncmp(devices[i], "gpu", 3) == 0) gpu = true;
    }
    qx_orb_free_hardware_devices(devices, count);
  } else {
    char **lines = nullptr;
    int32_t depth = 0;
    qx_get_error_stack(&lines, &depth);
    qx_free_error_stack(lines);
  }
  std::string text =
      "  -d, --device DEVICE   where the engine runs: best (default: the best device here),\n"
      "                        cpu (half the logical processors), cpu:N (N threads)";
  text += gpu ? ",\n                        gpu or gpu:INDEX.\n" : ".\n";
  if (!offered.empty()) text += "                        This machine offers:\n" + offered;
  return text;
}

}  // namespace

bool parse_options(int argc, char **argv, Options *options, std::string *error) {
  bool only_inputs = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_inputs || arg == "-" || arg.empty() || arg[0] != '-') {
      options->inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_inputs = true;
      continue;
    }
    std::string inline_value;
    bool has_inline = false;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      inline_value = arg.substr(equals + 1);
      arg.resize(equals);
      has_inline = true;
    }
    auto value = [&](std::string *out) {
      if (has_inline) {
        *out = inline_value;
        return true;
      }
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto flag = [&](bool *out) {
      if (has_inline) {
        *error = arg + " takes no value";
        return false;
      }
      *out = true;
      return true;
    };
    std::string text;
    bool ok = true;
    if (arg == "-h" || arg == "--help") {
      ok = flag(&options->help);
    } else if (arg == "--version") {
      ok = flag(&options->version);
    } else if (arg == "-q" || arg == "--quiet") {
      ok = flag(&options->quiet);
    } else if (arg == "-v" || arg == "--verbose") {
      ok = flag(&options->verbose);
    } else if (arg == "--timing") {
      ok = flag(&options->timing);
    } else if (arg == "--list-devices") {
      ok = flag(&options->list_devices);
    } else if (arg == "--json" || arg == "--csv") {
      const OutputFormat format = arg == "--json" ? OutputFormat::kJson : OutputFormat::kCsv;
      if (options->format != OutputFormat::kText && options->format != format) {
        *error = "--json and --csv exclude each other";
        return false;
      }
      bool chosen = false;
      ok = flag(&chosen);
      options->format = format;
    } else if (arg == "-m" || arg == "--model") {
      ok = value(&options->model);
      if (ok && options->model.empty()) {
        *error = "--model needs a file name";
        return false;
      }
    } else if (arg == "-d" || arg == "--device") {
      ok = value(&options->device);
    } else if (arg == "-t" || arg == "--threshold") {
      double threshold = 0;
      if (!value(&text)) return false;
      if (!parse_number(text, &threshold) || threshold < 0.0 || threshold > 1.0) {
        *error = "--threshold needs a number from 0 to 1, not '" + text + "'";
        return false;
      }
      options->threshold = static_cast<float>(threshold);
    } else if (arg == "--min-segment") {
      ok = value(&text) && parse_seconds(arg, text, &options->segments.min_segment, error);
    } else if (arg == "--bridge-gap") {
      ok = value(&text) && parse_seconds(arg, text, &options->segments.bridge_gap, error);
    } else if (arg == "--srt" || arg == "--vtt" || arg == "--plot") {
      std::string *target =
          arg == "--srt" ? &options->srt : arg == "--vtt" ? &options->vtt : &options->plot;
      ok = value(target);
      if (ok && (target->empty() || *target == "-")) {
        *error = arg + " needs a file name (results on standard output come from --json or --csv)";
        return false;
      }
    } else {
      *error = "unknown option " + arg;
      return false;
    }
    if (!ok) return false;
  }
  if (options->help || options->version || options->list_devices) return true;
  if (options->inputs.empty()) {
    *error = "no audio named (give files, or - for standard input)";
    return false;
  }
  int stdin_count = 0;
  for (const std::string &input : options->inputs) stdin_count += input == "-";
  if (stdin_count > 1) {
    *error = "standard input (-) can be read only once";
    return false;
  }
  for (const auto &[name, pattern] : {std::pair<const char *, std::string>{"--srt", options->srt},
                                      {"--vtt", options->vtt},
                                      {"--plot", options->plot}}) {
    if (pattern.empty() || options->inputs.size() < 2) continue;
    if (pattern.find("{}") == std::string::npos) {
      *error = std::string(name) + " with several inputs needs {} in its file name, "
               "which stands for each input's name (e.g. " + name + " '{}." +
               (std::strcmp(name, "--plot") == 0 ? "svg" : std::strcmp(name, "--srt") == 0 ? "srt" : "vtt") +
               "')";
      return false;
    }
    for (size_t a = 0; a < options->inputs.size(); ++a) {
      for (size_t b = a + 1; b < options->inputs.size(); ++b) {
        if (side_file_name(pattern, options->inputs[a]) ==
            side_file_name(pattern, options->inputs[b])) {
          *error = std::string(name) + ": " + options->inputs[a] + " and " + options->inputs[b] +
                   " would both write " + side_file_name(pattern, options->inputs[a]);
          return false;
        }
      }
    }
  }
  return true;
}

std::string side_file_name(const std::string &pattern, const std::string &input) {
  std::string name = pattern;
  for (size_t at = name.find("{}"); at != std::string::npos; at = name.find("{}", at)) {
    const std::string replacement = stem(input);
    name.replace(at, 2, replacement);
    at += replacement.size();
  }
  return name;
}

std::string default_model_path(std::string *origin) {
  if (const char *environment = std::getenv("QX_ORB_MODEL"); environment && *environment) {
    *origin = "$QX_ORB_MODEL";
    return environment;
  }
  char program[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length > 0) {
    program[length] = '\0';
    std::string folder(program);
    folder.resize(folder.find_last_of('/') + 1);
    const std::string installed = folder + "../share/qx_orb/default.qx";
    if (access(installed.c_str(), R_OK) == 0) {
      *origin = "installed beside the program";
      return installed;
    }
  }
  *origin = "source tree";
  return QX_ORB_DEFAULT_MODEL;
}

std::string help_text() {
  std::string text =
      "usage: qx-orb [options] AUDIO...\n"
      "\n"
      "Tells which language is spoken in each AUDIO, frame by frame: de, en, es, fr, it,\n"
      "ja, ko, pt or \"unknown\". AUDIO is a file in any format libsndfile reads (WAV, FLAC,\n"
      "Ogg Vorbis or Opus, MP3, AIFF, ...) at any sample rate; channels are averaged and\n"
      "the audio resampled to 16 kHz. \"-\" reads standard input; a format whose reader\n"
      "must seek back beyond the first megabyte cannot come through a pipe (the message\n"
      "says so): give a file, or a WAV stream (ffmpeg -i IN -f wav - | qx-orb -).\n"
      "\n"
      "The audio is cut into frames of 2.048 s. A voice detector gates each frame; a\n"
      "voiced frame gets nine probabilities and its top language. The last frame, where\n"
      "the input ends inside it, is padded with silence and reported with its real\n"
      "length. Segments are runs of voiced frames of one language (with their mean\n"
      "probability). The verdict is the language with the highest sum of\n"
      "log-probabilities over the voiced frames; its probability is the softmax of those\n"
      "sums, and it rests on the seconds of voiced audio it names.\n"
      "\n"
      "Model and engine:\n"
      "  -m, --model FILE      the model (.qx). Default: $QX_ORB_MODEL if set, else\n"
      "                        <program folder>/../share/qx_orb/default.qx if it exists\n"
      "                        (an installed program), else the source tree's\n"
      "                        " QX_ORB_DEFAULT_MODEL "\n";
  text += device_help();
  text +=
      "  -t, --threshold P     voice threshold from 0 to 1 (default 0.5): frames whose mean\n"
      "                        voice probability is at least P are classified\n"
      "\n"
      "Results on standard output, one form:\n"
      "  (default)             text: a line per frame (start, end, voiced, top language,\n"
      "                        its probability, the nine probabilities), then the\n"
      "                        segments and the verdict of each input\n"
      "  --json                JSON Lines: one JSON object per line. Per frame:\n"
      "                        {\"type\": \"frame\", \"file\", \"model\", \"index\", \"start\", \"end\",\n"
      "                        \"padded\", \"voiced\", \"language\", \"probability\", \"scores\":\n"
      "                        {\"unknown\": p, \"de\": p, ...}} (null language, probability and\n"
      "                        scores when unvoiced); per input, last: {\"type\": \"file\",\n"
      "                        \"file\", \"model\", \"summary\": {\"duration\", \"frames\", \"voiced\",\n"
      "                        \"speech_seconds\", \"complete\", \"shares\", \"verdict\" (null\n"
      "                        without speech): {\"language\", \"probability\",\n"
      "                        \"speech_seconds\", \"probabilities\", \"log_probability_sums\"},\n"
      "                        \"segments\": [{\"start\", \"end\", \"language\", \"probability\",\n"
      "                        \"speech_seconds\"}], \"warnings\": [...]}}\n"
      "  --csv                 CSV with a header line and the columns record, file, model,\n"
      "                        index, start, end, padded, voiced, language, probability,\n"
      "                        speech_seconds, unknown, de, en, es, fr, it, ja, ko, pt.\n"
      "                        record is \"frame\" (one per frame), \"segment\" or \"verdict\"\n"
      "                        (one per input; its nine columns hold the softmax of the\n"
      "                        summed log-probabilities). Empty cells: not applicable.\n"
      "\n"
      "Segments:\n"
      "  --bridge-gap SECONDS  join segments of one language at most this far apart\n"
      "                        (default 0: only touching frames join)\n"
      "  --min-segment SECONDS drop segments shorter than this (default 0); then\n"
      "                        neighbours of one language are joined across the room the\n"
      "                        dropped ones leave, within the bridge gap\n"
      "\n"
      "Files (with several inputs FILE must contain {}, replaced by each input's name\n"
      "without folder and extension, \"stdin\" for -):\n"
      "  --srt FILE            the segments as SubRip subtitles (\"en (0.97)\")\n"
      "  --vtt FILE            the segments as WebVTT subtitles\n"
      "  --plot FILE           a timeline as SVG: voiced regions, the top language per\n"
      "                        frame, the probabilities as stacked bands, the segments, and\n"
      "                        the verdict as its title\n"
      "\n"
      "Messages (standard error):\n"
      "  -q, --quiet           no progress bar and no warnings; errors are still printed\n"
      "  -v, --verbose         each input's format, the model's path, and the library's\n"
      "                        full error messages\n"
      "      --timing          seconds taken and the real-time factor of each input\n"
      "      --list-devices    print the devices this machine offers and exit\n"
      "      --version         print the version and exit\n"
      "  -h, --help            print this text and exit\n"
      "A progress bar is drawn on standard error when it is a terminal.\n"
      "\n"
      "Exit status (with several inputs the first that applies, in this order: 1, 4, 3, 2):\n"
      "  0  speech found (every input read in full)\n"
      "  1  usage error, the model or device cannot be used, or an input cannot be read\n"
      "  2  no speech found in any input\n"
      "  3  an input ended early or was damaged: its results cover what was decoded\n"
      "  4  the engine failed while processing a frame\n";
  return text;
}
