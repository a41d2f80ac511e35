#include "segments.h"

#include <algorithm>
#include <cmath>

namespace {

// Times are sums of frame lengths; a tolerance keeps "exactly the limit"
// on the intended side of each comparison.
constexpr double kTimeTolerance = 1e-9;
// Probabilities are float32: a zero must not become an infinite log.
constexpr double kSmallestProbability = 1e-30;

void absorb(Segment *into, const Segment &next) {
  const double speech = into->speech_seconds + next.speech_seconds;
  if (speech > 0.0) {
    into->probability =
        (into->probability * into->speech_seconds + next.probability * next.speech_seconds) /
        speech;
  }
  into->speech_seconds = speech;
  into->end = next.end;
}

std::vector<Segment> bridge(const std::vector<Segment> &segments, double gap) {
  std::vector<Segment> joined;
  for (const Segment &segment : segments) {
    if (!joined.empty() && joined.back().language == segment.language &&
        segment.start - joined.back().end <= gap + kTimeTolerance) {
      absorb(&joined.back(), segment);
    } else {
      joined.push_back(segment);
    }
  }
  return joined;
}

}  // namespace

int top_language(const std::array<float, kLanguages> &scores) {
  int best = 0;
  for (int l = 1; l < kLanguages; ++l) {
    if (scores[l] > scores[best]) best = l;
  }
  return best;
}

std::vector<Segment> make_segments(const std::vector<FrameResult> &frames,
                                   const SegmentOptions &options) {
  std::vector<Segment> runs;
  bool open = false;  // the last frame extended runs.back()
  for (const FrameResult &frame : frames) {
    if (!frame.voiced || frame.language < 0) {
      open = false;
      continue;
    }
    Segment piece;
    piece.start = frame.start;
    piece.end = frame.end;
    piece.language = frame.language;
    piece.probability = frame.scores[frame.language];
    piece.speech_seconds = frame.end - frame.start;
    if (open && runs.back().language == frame.language) {
      absorb(&runs.back(), piece);
    } else {
      runs.push_back(piece);
    }
    open = true;
  }
  std::vector<Segment> segments = bridge(runs, options.bridge_gap);
  segments.erase(std::remove_if(segments.begin(), segments.end(),
                                [&](const Segment &s) {
                                  return s.end - s.start < options.min_segment - kTimeTolerance;
                                }),
                 segments.end());
  return bridge(segments, options.bridge_gap);
}

Verdict make_verdict(const std::vector<FrameResult> &frames) {
  Verdict verdict;
  for (const FrameResult &frame : frames) {
    if (!frame.voiced) continue;
    ++verdict.voiced_frames;
    verdict.speech_seconds += frame.end - frame.start;
    for (int l = 0; l < kLanguages; ++l) {
      verdict.log_probability_sums[l] +=
          std::log(std::max<double>(frame.scores[l], kSmallestProbability));
    }
  }
  if (verdict.voiced_frames == 0) return verdict;
  verdict.found = true;
  int best = 0;
  for (int l = 1; l < kLanguages; ++l) {
    if (verdict.log_probability_sums[l] > verdict.log_probability_sums[best]) best = l;
  }
  double total = 0.0;
  for (int l = 0; l < kLanguages; ++l) {
    verdict.probabilities[l] =
        std::exp(verdict.log_probability_sums[l] - verdict.log_probability_sums[best]);
    total += verdict.probabilities[l];
  }
  for (double &p : verdict.probabilities) p /= total;
  verdict.language = best;
  verdict.probability = verdict.probabilities[best];
  return verdict;
}
