#include "cli/ProgressDisplay.h"

#include <algorithm>
#include <cmath>

namespace vk::cli {

std::string ProgressDisplay::BarText(const std::string& label, int min, int max, int position,
                                     double bytesPerSecond) {
  const int span = std::max(1, max - min);
  const int done = std::clamp(position - min, 0, span);
  const int filled = done * kBarWidth / span;
  std::string bar = label + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "]";
  char figures[128];
  std::snprintf(figures, sizeof figures, " %3d%%  %.1f/%.1f KiB", done * 100 / span,
                done * 256 / 1024.0, span * 256 / 1024.0);
  bar += figures;
  if (bytesPerSecond > 0) {
    const long left = std::lround((span - done) * 256.0 / bytesPerSecond);
    std::snprintf(figures, sizeof figures, "  %.1f KiB/s  %ld:%02ld left", bytesPerSecond / 1024,
                  left / 60, left % 60);
    bar += figures;
  }
  return bar;
}

void ProgressDisplay::Clear() {
  if (style_ != Style::Bar || !drawn_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  drawn_ = false;
}

void ProgressDisplay::Update(const std::string& label, int min, int max, int position, double now) {
  if (style_ == Style::None) return;
  // A new run (the bar was set back or given another range) measures its rate afresh.
  if (min != lastMin_ || max != lastMax_ || position < lastPosition_) {
    startAt_ = -1;
    lastTenth_ = -1;
  }
  lastMin_ = min;
  lastMax_ = max;
  lastPosition_ = position;
  if (position <= min) return; // the bar is set back at the end of every run
  if (startAt_ < 0) {
    startAt_ = now;
    startPosition_ = position;
  }
  const int span = std::max(1, max - min);
  if (style_ == Style::Lines) {
    const int tenth = std::clamp((position - min) * 10 / span, 0, 10);
    if (tenth == lastTenth_) return;
    lastTenth_ = tenth;
    std::fprintf(out_, "progress: %s %d%% (%d of %d bytes)\n", label.c_str(), tenth * 10,
                 (position - min) * 256, span * 256);
    std::fflush(out_);
    return;
  }
  if (drawn_ && now - lastDraw_ < kRedrawSeconds && position < max) return;
  lastDraw_ = now;
  const double elapsed = now - startAt_;
  const double rate = elapsed > 0.2 ? (position - startPosition_) * 256.0 / elapsed : 0;
  std::fprintf(out_, "\r%s\033[K", BarText(label, min, max, position, rate).c_str());
  std::fflush(out_);
  drawn_ = true;
}

} // namespace vk::cli
