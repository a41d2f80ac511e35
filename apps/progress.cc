#include "progress.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kBarWidth = 30;
constexpr size_t kNameWidth = 32;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}  // namespace

void Progress::start(const std::string &name, double total_seconds) {
  if (!enabled_) return;
  name_ = name.size() > kNameWidth ? "..." + name.substr(name.size() - (kNameWidth - 3)) : name;
  total_ = total_seconds;
  done_ = 0.0;
  draw();
}

void Progress::update(double done_seconds) {
  if (!enabled_) return;
  done_ = done_seconds;
  if (visible_ && std::chrono::steady_clock::now() - last_draw_ < kRedrawInterval) return;
  draw();
}

void Progress::clear() {
  if (!visible_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  visible_ = false;
}

void Progress::draw() {
  std::string line = "\r\033[Kqx-orb: " + name_;
  char text[96];
  if (total_ > 0) {
    // A header may promise more than the file holds: never claim 100% early.
    const double share = std::clamp(done_ / total_, 0.0, 0.99);
    const int filled = static_cast<int>(share * kBarWidth);
    std::snprintf(text, sizeof text, " [%.*s%*s] %3d%%  %.1f / %.1f s", filled,
                  "##############################", kBarWidth - filled, "",
                  static_cast<int>(share * 100), done_, total_);
  } else {
    std::snprintf(text, sizeof text, "  %.1f s decoded", done_);
  }
  line += text;
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  visible_ = true;
  last_draw_ = std::chrono::steady_clock::now();
}
