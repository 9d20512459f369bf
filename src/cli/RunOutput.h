#pragma once
// What a link command shows while it runs. stdout: the status line's texts and the log's
// lines. On a terminal the status line is one line rewritten in place by each new text (the
// erase spinner turns there) until a log line or the progress bar ends it; in a pipe or a file
// each status text appears once, without the spinner's frames. stderr: the progress (see
// ProgressDisplay), with -v the steps with their time.
//
// A closed stdout or stderr does not stop anything: the writes fail with EPIPE (SIGPIPE is
// ignored) and are dropped.

#include "cli/LinkSession.h"
#include "cli/ProgressDisplay.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vk::cli {

class RunPrinter {
public:
  // progress: may be null (no progress shown). verbose: -v count.
  RunPrinter(LinkSession& s, ProgressDisplay* progress, int verbose = 0);
  ~RunPrinter();
  RunPrinter(const RunPrinter&) = delete;
  RunPrinter& operator=(const RunPrinter&) = delete;

  // Takes the progress bar and an open status line off the terminal before other output.
  void ClearProgress();

  // A module's run ended: programmed (or erased), or not; the progress says 100 % only then.
  void ModuleDone(bool taken);
  // The bytes a run sends or reads, [start, end) in image addresses: the progress counts them
  // (a jump table and checksum word included) instead of the Programmer page's 256-byte blocks.
  void SetByteRange(std::uint32_t start, std::uint32_t end) {
    byteStart_ = start;
    byteEnd_ = end;
  }

  // "Erasing Module /" without the spinner's frame.
  static std::string WithoutSpinner(const std::string& text);

  std::string lastStatus;
  std::vector<std::string> logLines;

private:
  void Status(const std::string& text);
  void EndStatusLine();
  void Progress(int position);

  LinkSession& s_;
  ProgressDisplay* progress_;
  int verbose_;
  bool terminal_;
  bool statusOpen_ = false; // a status text stands on the terminal line without its line end
  std::string openBase_;
  std::string stepBase_; // the last step told with -v
  double startedAt_;
  bool kernelPhase_ = false; // the progress shows an H8 boot kernel going out
  std::uint32_t byteStart_ = 0, byteEnd_ = 0; // none while equal
};

} // namespace vk::cli
