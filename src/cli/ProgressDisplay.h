#pragma once
// The progress of a run on stderr. On a terminal, one line redrawn in place:
//
//   QRD14 #7 [##############----------------]  46%  22.0/48.0 KiB  10.9 KiB/s  0:02 left
//
// Elsewhere (a log file, a pipe) a plain line at every tenth of the way, each tenth in turn:
//
//   progress: QRD14 #7 40% (19456 of 49152 bytes)
//
// Neither shows 100 % before the phase is known to have been taken (Finished): the last record
// sent may still be refused.
//
// The figures come from the Programmer page's bar, which counts 256-byte blocks of the image;
// an H8 boot kernel goes before the image as a phase of its own ("QRE15 #0 kernel", in bytes).
// The bar line is cut to the terminal's width, so that it never wraps.

#include <cstdio>
#include <string>

namespace vk::cli {

class ProgressDisplay {
public:
  enum class Style { None, Bar, Lines };
  static constexpr int kBarWidth = 30;
  static constexpr double kRedrawSeconds = 0.1;

  ProgressDisplay(std::FILE* out, Style style) : out_(out), style_(style) {}

  // The bar moved: min..max in steps of bytesPerStep (256-byte blocks of the image), now in
  // seconds on any steady clock.
  void Update(const std::string& label, int min, int max, int position, double now,
              int bytesPerStep = 256);
  // The bar is drawn in place on a terminal line (Style::Bar).
  bool OnTerminalLine() const { return style_ == Style::Bar; }
  // The phase under way ended: taken (its 100 % line follows, in plain lines), or not (none).
  void Finished(bool taken);
  // Takes the bar off the terminal line before other output (it comes back with the next
  // update).
  void Clear();

  // The bar line without its leading carriage return (tests, and the line above); columns > 0:
  // shortened to fit in that many columns (the bar first, then the rate, then the label).
  static std::string BarText(const std::string& label, int min, int max, int position,
                             double bytesPerSecond, int bytesPerStep = 256, int columns = 0);
  // The width of the terminal out is (0 when it is none).
  static int Columns(std::FILE* out);

private:
  std::FILE* out_;
  Style style_;
  bool drawn_ = false;
  double lastDraw_ = -1;
  int lastMin_ = 0, lastMax_ = 0, lastPosition_ = 0;
  std::string lastLabel_;
  int lastTenth_ = -1;
  std::string heldLast_; // the 100 % line, said once the phase is known to have been taken
  // Where the rate is measured from: the first move of the current run.
  double startAt_ = -1;
  int startPosition_ = 0;
};

} // namespace vk::cli
