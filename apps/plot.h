// A timeline of one file as SVG: voiced regions, the top language of each
// frame, the nine probabilities as stacked bands, the segments, and the
// verdict in the title.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "segments.h"

struct PlotInput {
  std::string name;   // the input as the user named it
  std::string model;  // the model file
  double duration = 0.0;
  const std::vector<FrameResult> *frames = nullptr;
  const std::vector<Segment> *segments = nullptr;
  const Verdict *verdict = nullptr;
};

void write_svg(std::FILE *out, const PlotInput &plot);
