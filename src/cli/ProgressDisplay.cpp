#include "cli/ProgressDisplay.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>

namespace vk::cli {

int ProgressDisplay::Columns(std::FILE* out) {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(out)));
  if (!::GetConsoleScreenBufferInfo(h, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize size{};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
#endif
}

std::string ProgressDisplay::BarText(const std::string& label, int min, int max, int position,
                                     double bytesPerSecond, int bytesPerStep, int columns) {
  const int span = std::max(1, max - min);
  const int done = std::clamp(position - min, 0, span);
  // Every byte sent is not every byte taken: the last answer may still refuse it, so the bar
  // stops short of 100 % (the log line says how it ended).
  const int percent = done == span ? 99 : done * 100 / span;
  char figures[128];
  std::snprintf(figures, sizeof figures, " %3d%%  %.1f/%.1f KiB", percent,
                done * bytesPerStep / 1024.0, span * bytesPerStep / 1024.0);
  std::string tail = figures;
  std::string rate;
  if (bytesPerSecond > 0) {
    const long left = std::lround((span - done) * double(bytesPerStep) / bytesPerSecond);
    std::snprintf(figures, sizeof figures, "  %.1f KiB/s  %ld:%02ld left", bytesPerSecond / 1024,
                  left / 60, left % 60);
    rate = figures;
  }
  // The last column stays free: writing into it wraps the line on many terminals.
  const int room = columns > 0 ? columns - 1 : 1 << 20;
  const auto width = [&](int bar) {
    return static_cast<int>(label.size() + 3 + tail.size() + rate.size()) + bar;
  };
  int barWidth = std::min(kBarWidth, room - width(0));
  if (barWidth < 10 && !rate.empty()) {
    rate.clear();
    barWidth = std::min(kBarWidth, room - width(0));
  }
  barWidth = std::max(barWidth, 0);
  const int filled = done * barWidth / span;
  std::string bar = label + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(barWidth - filled), '-') + "]" + tail +
                    rate;
  if (static_cast<int>(bar.size()) > room) bar.resize(static_cast<std::size_t>(std::max(room, 0)));
  return bar;
}

void ProgressDisplay::Clear() {
  if (style_ != Style::Bar || !drawn_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  drawn_ = false;
}

void ProgressDisplay::Update(const std::string& label, int min, int max, int position, double now,
                             int bytesPerStep) {
  if (style_ == Style::None) return;
  // A new run or phase (the bar was set back or given another range) measures its rate afresh.
  if (min != lastMin_ || max != lastMax_ || position < lastPosition_ || label != lastLabel_) {
    startAt_ = -1;
    lastTenth_ = -1;
  }
  lastMin_ = min;
  lastMax_ = max;
  lastPosition_ = position;
  lastLabel_ = label;
  if (position <= min) return; // the bar is set back at the end of every run
  if (startAt_ < 0) {
    startAt_ = now;
    startPosition_ = position;
    heldLast_.clear(); // a phase that was never said to have ended stays short of 100 %
  }
  const int span = std::max(1, max - min);
  if (style_ == Style::Lines) {
    // Each tenth in turn, also those a large block jumps over, so that every log shows the
    // same steps; the last only once Finished says the phase was taken.
    const int tenth = std::clamp((position - min) * 10 / span, 0, 10);
    for (int t = lastTenth_ + 1; t <= tenth; ++t) {
      char line[256];
      std::snprintf(line, sizeof line, "progress: %s %d%% (%d of %d bytes)\n", label.c_str(),
                    t * 10, (position - min) * bytesPerStep, span * bytesPerStep);
      if (t == 10)
        heldLast_ = line;
      else
        std::fputs(line, out_);
    }
    lastTenth_ = std::max(lastTenth_, tenth);
    std::fflush(out_);
    return;
  }
  if (drawn_ && now - lastDraw_ < kRedrawSeconds && position < max) return;
  lastDraw_ = now;
  const double elapsed = now - startAt_;
  const double rate =
      elapsed > 0.2 ? (position - startPosition_) * double(bytesPerStep) / elapsed : 0;
  std::fprintf(out_, "\r%s\033[K",
               BarText(label, min, max, position, rate, bytesPerStep, Columns(out_)).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressDisplay::Finished(bool taken) {
  if (taken && !heldLast_.empty()) {
    std::fputs(heldLast_.c_str(), out_);
    std::fflush(out_);
  }
  heldLast_.clear();
}

} // namespace vk::cli
