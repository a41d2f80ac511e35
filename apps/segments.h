// From per-frame results to what a listener asks: stretches of one language
// (segments) and the language of the whole file (the verdict).
#pragma once

#include <array>
#include <vector>

constexpr int kLanguages = 9;  // QX_ORB_NUM_LANGUAGES; index 0 is "unknown"

struct FrameResult {
  double start = 0.0;  // seconds
  double end = 0.0;    // start plus the frame's real audio, less than a frame when padded
  bool padded = false; // the input ended inside this frame; silence filled the rest
  bool voiced = false;
  int language = -1;   // the most probable language of a voiced frame, else -1
  std::array<float, kLanguages> scores{};  // zero for an unvoiced frame
};

struct Segment {
  double start = 0.0;
  double end = 0.0;
  int language = 0;
  double probability = 0.0;     // mean over its voiced frames, weighted by their length
  double speech_seconds = 0.0;  // voiced audio inside it (less than end - start when bridged)
};

struct SegmentOptions {
  double min_segment = 0.0;  // shorter segments are dropped
  double bridge_gap = 0.0;   // same-language neighbours at most this far apart are joined
};

struct Verdict {
  bool found = false;           // false when no frame was voiced
  int language = -1;
  double probability = 0.0;     // softmax of the summed log-probabilities
  double speech_seconds = 0.0;  // voiced audio the verdict rests on
  int voiced_frames = 0;
  std::array<double, kLanguages> log_probability_sums{};
  std::array<double, kLanguages> probabilities{};  // the softmax of those sums
};

// The index of the largest score (the first of equals).
int top_language(const std::array<float, kLanguages> &scores);

// Consecutive voiced frames of one language, merged; then neighbours of one
// language no more than bridge_gap apart joined; then segments shorter than
// min_segment dropped; then neighbours joined again across the room the
// dropped ones leave.
std::vector<Segment> make_segments(const std::vector<FrameResult> &frames,
                                   const SegmentOptions &options);

// The language with the highest sum of log-probabilities over voiced frames.
Verdict make_verdict(const std::vector<FrameResult> &frames);
