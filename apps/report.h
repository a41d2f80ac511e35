// The results on standard output: per frame as they come, then per file its
// segments and verdict; as text, JSON Lines or CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "progress.h"
#include "segments.h"

enum class OutputFormat { kText, kJson, kCsv };

struct FileSummary {
  double duration = 0.0;  // seconds of audio
  bool complete = true;   // read to the end its header promised, without damage
  const std::vector<FrameResult> *frames = nullptr;
  const std::vector<Segment> *segments = nullptr;
  const Verdict *verdict = nullptr;
  const std::vector<std::string> *warnings = nullptr;
};

class Report {
 public:
  // `progress` is cleared before each write when `out` is a terminal.
  Report(OutputFormat format, std::FILE *out, Progress *progress, std::string model);

  void begin_file(const std::string &name, const std::string &description);
  void frame(int index, const FrameResult &frame);
  void end_file(const FileSummary &summary);

 private:
  void write(const std::string &text);
  std::string number(double value, int decimals) const;

  OutputFormat format_;
  std::FILE *out_;
  Progress *progress_;
  bool terminal_;
  std::string model_;
  std::string name_;
  int files_ = 0;
};
