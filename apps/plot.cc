#include "plot.h"

#include <algorithm>
#include <cmath>

#include "formats.h"

namespace {

constexpr double kWidth = 1200, kHeight = 500;
constexpr double kLeft = 100, kRight = 20;  // room for row names, and a margin
constexpr double kVoicedTop = 62, kVoicedHeight = 16;
constexpr double kLanguageTop = 86, kLanguageHeight = 22;
constexpr double kBandsTop = 116, kBandsHeight = 250;
constexpr double kSegmentsTop = 374, kSegmentsHeight = 22;
constexpr double kAxisTop = 404;
constexpr double kLegendTop = 452;
constexpr double kMinLabelWidth = 22;  // narrower boxes carry no text

// One colour per language, in index order ("unknown" grey).
const char *const kColours[kLanguages] = {"#9e9e9e", "#1f77b4", "#d62728", "#ff7f0e", "#2ca02c",
                                          "#9467bd", "#8c564b", "#e377c2", "#17becf"};

double tick_step(double duration) {
  static const double kSteps[] = {0.1, 0.2, 0.5, 1,   2,    5,    10,   15,    30,   60,
                                  120, 300, 600, 900, 1800, 3600, 7200, 18000, 36000};
  for (const double step : kSteps) {
    if (duration / step <= 12) return step;
  }
  return std::ceil(duration / 12 / 36000) * 36000;
}

std::string tick_label(double seconds, double step, double duration) {
  char text[32];
  if (step < 1) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (duration < 120) {
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  } else {
    const long long whole = std::llround(seconds);
    if (whole >= 3600) {
      std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                    whole % 60);
    } else {
      std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
  }
  return text;
}

// `at`: where in the row's height the name sits (0 top, 1 bottom).
void row_name(std::FILE *out, double top, double height, const char *name, double at = 0.5) {
  std::fprintf(out, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\" class=\"row\">%s</text>\n",
               kLeft - 8, top + height * at + 4, name);
}

}  // namespace

void write_svg(std::FILE *out, const PlotInput &plot) {
  const std::vector<FrameResult> &frames = *plot.frames;
  const Verdict &verdict = *plot.verdict;
  const double span = std::max(plot.duration, 1e-3);
  const double scale = (kWidth - kLeft - kRight) / span;
  auto x = [&](double seconds) { return kLeft + seconds * scale; };

  char verdict_text[160];
  if (verdict.found) {
    std::snprintf(verdict_text, sizeof verdict_text, "%s, p = %.3f, from %.1f s of speech",
                  language_name(verdict.language), verdict.probability, verdict.speech_seconds);
  } else {
    std::snprintf(verdict_text, sizeof verdict_text, "no speech found");
  }
  const std::string name = xml_text(plot.name);

  std::fprintf(out,
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n"
               "<title>%s: %s</title>\n"
               "<style>text{fill:#222;font-size:12px} .row{font-size:12px;fill:#444} "
               ".small{font-size:10px;fill:#fff}</style>\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
               kWidth, kHeight, kWidth, kHeight, name.c_str(), verdict_text);
  std::fprintf(out,
               "<text id=\"verdict\" x=\"%.0f\" y=\"28\" style=\"font-size:18px;"
               "font-weight:bold\">%s: %s</text>\n",
               kLeft, name.c_str(), verdict_text);
  int voiced = 0;
  for (const FrameResult &frame : frames) voiced += frame.voiced;
  std::fprintf(out,
               "<text x=\"%.0f\" y=\"48\" style=\"fill:#666\">model %s; %.3f s of audio in %zu "
               "frames, %d voiced</text>\n",
               kLeft, xml_text(plot.model).c_str(), plot.duration, frames.size(), voiced);

  // Voiced regions over a grey track of the whole file.
  row_name(out, kVoicedTop, kVoicedHeight, "voiced");
  std::fprintf(out, "<g id=\"voiced\" shape-rendering=\"crispEdges\">\n<rect x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" height=\"%.0f\" "
               "fill=\"#eeeeee\"/>\n", x(0), kVoicedTop, plot.duration * scale, kVoicedHeight);
  for (const FrameResult &frame : frames) {
    if (!frame.voiced) continue;
    std::fprintf(out, "<rect x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" height=\"%.0f\" "
                 "fill=\"#555555\"/>\n", x(frame.start), kVoicedTop,
                 (frame.end - frame.start) * scale, kVoicedHeight);
  }
  std::fputs("</g>\n", out);

  // The top language of each voiced frame.
  row_name(out, kLanguageTop, kLanguageHeight, "top language");
  std::fputs("<g id=\"languages\" shape-rendering=\"crispEdges\">\n", out);
  for (const FrameResult &frame : frames) {
    if (!frame.voiced) continue;
    const double width = (frame.end - frame.start) * scale;
    std::fprintf(out, "<rect x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" height=\"%.0f\" fill=\"%s\" "
                 "data-language=\"%s\"/>\n", x(frame.start), kLanguageTop, width,
                 kLanguageHeight, kColours[frame.language], language_name(frame.language));
    if (width >= kMinLabelWidth) {
      std::fprintf(out, "<text x=\"%.2f\" y=\"%.0f\" text-anchor=\"middle\" class=\"small\">"
                   "%s</text>\n", x(frame.start) + width / 2, kLanguageTop + 15,
                   language_name(frame.language));
    }
  }
  std::fputs("</g>\n", out);

  // Probabilities stacked from the bottom in language order.
  row_name(out, kBandsTop, kBandsHeight, "probabilities", 0.25);  // clear of the 0.5 tick
  std::fprintf(out, "<g id=\"probabilities\" shape-rendering=\"crispEdges\">\n<rect x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" "
               "height=\"%.0f\" fill=\"none\" stroke=\"#cccccc\"/>\n", x(0), kBandsTop,
               plot.duration * scale, kBandsHeight);
  for (const double p : {0.0, 0.5, 1.0}) {
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\" class=\"row\">%.1f</text>\n",
                 kLeft - 4, kBandsTop + kBandsHeight * (1 - p) + 4, p);
  }
  for (const FrameResult &frame : frames) {
    if (!frame.voiced) continue;
    double bottom = kBandsTop + kBandsHeight;
    for (int l = 0; l < kLanguages; ++l) {
      const double height = std::clamp<double>(frame.scores[l], 0.0, 1.0) * kBandsHeight;
      if (height < 0.05) continue;
      bottom -= height;
      std::fprintf(out, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\" "
                   "data-language=\"%s\"/>\n", x(frame.start), bottom,
                   (frame.end - frame.start) * scale, height, kColours[l], language_name(l));
    }
  }
  std::fputs("</g>\n", out);

  row_name(out, kSegmentsTop, kSegmentsHeight, "segments");
  std::fputs("<g id=\"segments\" shape-rendering=\"crispEdges\">\n", out);
  for (const Segment &segment : *plot.segments) {
    const double width = (segment.end - segment.start) * scale;
    std::fprintf(out, "<rect x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" height=\"%.0f\" fill=\"%s\" "
                 "stroke=\"#ffffff\" data-language=\"%s\"/>\n", x(segment.start), kSegmentsTop,
                 width, kSegmentsHeight, kColours[segment.language],
                 language_name(segment.language));
    if (width >= 3 * kMinLabelWidth) {
      std::fprintf(out, "<text x=\"%.2f\" y=\"%.0f\" text-anchor=\"middle\" class=\"small\">"
                   "%s %.2f</text>\n", x(segment.start) + width / 2, kSegmentsTop + 15,
                   language_name(segment.language), segment.probability);
    }
  }
  std::fputs("</g>\n", out);

  // Time axis.
  const double step = tick_step(span);
  std::fprintf(out, "<g id=\"axis\">\n<line x1=\"%.2f\" y1=\"%.0f\" x2=\"%.2f\" y2=\"%.0f\" "
               "stroke=\"#444444\"/>\n", x(0), kAxisTop, x(plot.duration), kAxisTop);
  for (int i = 0; i * step <= span + 1e-9; ++i) {
    const double t = i * step;
    std::fprintf(out, "<line x1=\"%.2f\" y1=\"%.0f\" x2=\"%.2f\" y2=\"%.0f\" stroke=\"#444444\"/>"
                 "<text x=\"%.2f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", x(t), kAxisTop,
                 x(t), kAxisTop + 5, x(t), kAxisTop + 19, tick_label(t, step, span).c_str());
  }
  std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\" class=\"row\">time</text>\n"
               "</g>\n", kLeft - 20, kAxisTop + 19);

  std::fputs("<g id=\"legend\">\n", out);
  for (int l = 0; l < kLanguages; ++l) {
    const double left = kLeft + l * 90.0;
    std::fprintf(out, "<rect x=\"%.0f\" y=\"%.0f\" width=\"14\" height=\"14\" fill=\"%s\"/>"
                 "<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", left, kLegendTop, kColours[l],
                 left + 20, kLegendTop + 12, language_name(l));
  }
  std::fputs("</g>\n</svg>\n", out);
}
