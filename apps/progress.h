// A one-line progress bar on standard error, drawn only when standard error
// is a terminal. Results never go through it: the caller clears it before
// writing to a terminal's standard output.
#pragma once

#include <chrono>
#include <string>

class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  ~Progress() { clear(); }

  // Shows `name` at once; `total_seconds` negative when the length is unknown.
  void start(const std::string &name, double total_seconds);
  // Redraws with `done_seconds` decoded, at most ten times a second.
  void update(double done_seconds);
  // Erases the line; the next update draws it again.
  void clear();

 private:
  void draw();

  bool enabled_;
  bool visible_ = false;
  std::string name_;
  double total_ = -1.0;
  double done_ = 0.0;
  std::chrono::steady_clock::time_point last_draw_{};
};
