#include "report.h"

#include <unistd.h>

#include <array>
#include <cstdarg>

#include "formats.h"

namespace {

std::string format(const char *pattern, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string format(const char *pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// {"unknown": 0.0001, "de": ...}
template <typename T>
std::string json_languages(const std::array<T, kLanguages> &values, const char *pattern) {
  std::string out = "{";
  for (int l = 0; l < kLanguages; ++l) {
    out += format("%s\"%s\": ", l ? ", " : "", language_name(l));
    out += format(pattern, static_cast<double>(values[l]));
  }
  return out + "}";
}

std::array<double, kLanguages> shares(const std::vector<FrameResult> &frames, int *voiced) {
  std::array<double, kLanguages> counts{};
  *voiced = 0;
  for (const FrameResult &frame : frames) {
    if (!frame.voiced) continue;
    ++*voiced;
    counts[frame.language] += 1.0;
  }
  for (double &count : counts) count = *voiced ? count / *voiced : 0.0;
  return counts;
}

const char kCsvHeader[] =
    "record,file,model,index,start,end,padded,voiced,language,probability,speech_seconds,"
    "unknown,de,en,es,fr,it,ja,ko,pt\n";

}  // namespace

Report::Report(OutputFormat format, std::FILE *out, Progress *progress, std::string model)
    : format_(format),
      out_(out),
      progress_(progress),
      terminal_(isatty(fileno(out)) != 0),
      model_(std::move(model)) {}

void Report::write(const std::string &text) {
  if (terminal_ && progress_) progress_->clear();
  std::fputs(text.c_str(), out_);
  if (terminal_) std::fflush(out_);
}

std::string Report::number(double value, int decimals) const {
  return format("%.*f", decimals, value);
}

void Report::begin_file(const std::string &name, const std::string &description) {
  name_ = name;
  if (format_ == OutputFormat::kCsv && files_ == 0) write(kCsvHeader);
  if (format_ == OutputFormat::kText) {
    std::string text = files_ ? "\n" : "";
    text += valid_utf8(name == "-" ? "standard input" : name);
    if (!description.empty()) text += " (" + description + ")";
    text += "\n  frame    start      end  voiced  top      prob   unknown    de    en    es    fr"
            "    it    ja    ko    pt\n";
    write(text);
  }
  ++files_;
}

void Report::frame(int index, const FrameResult &frame) {
  const char *language = frame.voiced ? language_name(frame.language) : "";
  if (format_ == OutputFormat::kJson) {
    std::string line = format("{\"type\": \"frame\", \"file\": %s, \"model\": %s, \"index\": %d, "
                              "\"start\": %.3f, \"end\": %.3f, \"padded\": %s, \"voiced\": %s",
                              json_string(name_).c_str(), json_string(model_).c_str(), index,
                              frame.start, frame.end, frame.padded ? "true" : "false",
                              frame.voiced ? "true" : "false");
    if (frame.voiced) {
      line += format(", \"language\": \"%s\", \"probability\": %.6f, \"scores\": ", language,
                     frame.scores[frame.language]);
      line += json_languages(frame.scores, "%.6f");
    } else {
      line += ", \"language\": null, \"probability\": null, \"scores\": null";
    }
    write(line + "}\n");
  } else if (format_ == OutputFormat::kCsv) {
    std::string line = "frame," + csv_field(name_) + "," + csv_field(model_) +
                       format(",%d,%.3f,%.3f,%d,%d,%s,", index, frame.start, frame.end,
                              frame.padded, frame.voiced, language);
    if (frame.voiced) line += number(frame.scores[frame.language], 6);
    line += ",";  // speech_seconds belongs to segments and verdicts
    for (int l = 0; l < kLanguages; ++l) {
      line += ",";
      if (frame.voiced) line += number(frame.scores[l], 6);
    }
    write(line + "\n");
  } else {
    std::string line = format("  %5d %8.3f %8.3f  %-6s  ", index, frame.start, frame.end,
                              frame.voiced ? "yes" : "no");
    if (frame.voiced) {
      line += format("%-7s %5.2f   ", language, frame.scores[frame.language]);
      for (int l = 0; l < kLanguages; ++l) line += format("%s%5.2f", l ? " " : "  ", frame.scores[l]);
    } else {
      line += format("%-7s %5s   ", "-", "");
      line += std::string(6 * kLanguages, ' ');
    }
    if (frame.padded) {
      line += format("  (input ends: %.3f s of audio, padded with silence)", frame.end - frame.start);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    write(line + "\n");
  }
}

void Report::end_file(const FileSummary &summary) {
  const std::vector<Segment> &segments = *summary.segments;
  const Verdict &verdict = *summary.verdict;
  int voiced = 0;
  const std::array<double, kLanguages> share = shares(*summary.frames, &voiced);

  if (format_ == OutputFormat::kJson) {
    std::string line = format("{\"type\": \"file\", \"file\": %s, \"model\": %s, \"summary\": "
                              "{\"duration\": %.3f, \"frames\": %zu, \"voiced\": %d, "
                              "\"speech_seconds\": %.3f, \"complete\": %s, \"shares\": ",
                              json_string(name_).c_str(), json_string(model_).c_str(),
                              summary.duration, summary.frames->size(), voiced,
                              verdict.speech_seconds,
                              summary.complete ? "true" : "false");
    line += json_languages(share, "%.4f") + ", \"verdict\": ";
    if (verdict.found) {
      line += format("{\"language\": \"%s\", \"probability\": %.6f, \"speech_seconds\": %.3f, "
                     "\"probabilities\": ", language_name(verdict.language), verdict.probability,
                     verdict.speech_seconds);
      line += json_languages(verdict.probabilities, "%.6g") + ", \"log_probability_sums\": ";
      line += json_languages(verdict.log_probability_sums, "%.4f") + "}";
    } else {
      line += "null";
    }
    line += ", \"segments\": [";
    for (size_t i = 0; i < segments.size(); ++i) {
      line += format("%s{\"start\": %.3f, \"end\": %.3f, \"language\": \"%s\", "
                     "\"probability\": %.6f, \"speech_seconds\": %.3f}", i ? ", " : "",
                     segments[i].start, segments[i].end, language_name(segments[i].language),
                     segments[i].probability, segments[i].speech_seconds);
    }
    line += "], \"warnings\": [";
    for (size_t i = 0; i < summary.warnings->size(); ++i) {
      line += (i ? ", " : "") + json_string((*summary.warnings)[i]);
    }
    write(line + "]}}\n");
  } else if (format_ == OutputFormat::kCsv) {
    std::string lines;
    const std::string file = csv_field(name_) + "," + csv_field(model_);
    for (size_t i = 0; i < segments.size(); ++i) {
      lines += "segment," + file +
               format(",%zu,%.3f,%.3f,,1,%s,%.6f,%.3f,,,,,,,,,\n", i, segments[i].start,
                      segments[i].end, language_name(segments[i].language),
                      segments[i].probability, segments[i].speech_seconds);
    }
    lines += "verdict," + file + format(",,0.000,%.3f,,,", summary.duration);
    if (verdict.found) {
      lines += format("%s,%.6f,%.3f", language_name(verdict.language), verdict.probability,
                      verdict.speech_seconds);
      for (const double p : verdict.probabilities) lines += format(",%.6g", p);
    } else {
      lines += ",,0.000,,,,,,,,,";
    }
    write(lines + "\n");
  } else {
    std::string text = "  segments:\n";
    if (segments.empty()) text += "    none\n";
    for (const Segment &segment : segments) {
      text += format("    %9.3f - %9.3f  %-7s %.2f\n", segment.start, segment.end,
                     language_name(segment.language), segment.probability);
    }
    if (verdict.found) {
      text += format("  verdict: %s, p = %.3f, from %.1f s of speech (%.1f s of audio)\n",
                     language_name(verdict.language), verdict.probability,
                     verdict.speech_seconds, summary.duration);
    } else {
      text += format("  verdict: no speech found in %.1f s of audio\n", summary.duration);
    }
    write(text);
  }
}
