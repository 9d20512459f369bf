#include "cli/RunOutput.h"

#include "cpu/H8_3664.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vk::cli {

namespace {

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The bytes of the H8 boot kernel sent so far, or -1 when no kernel is being sent.
int KernelBytesSent(programmer::RunController& prg) {
  auto* h8 = dynamic_cast<cpu::TCPU_H8_3664*>(&prg.Cpu());
  if (!h8 || prg.ShownState == programmer::CpuState::Idle) return -1;
  return h8->KernelBytesSent();
}

} // namespace

RunPrinter::RunPrinter(LinkSession& s, ProgressDisplay* progress, int verbose)
    : s_(s), progress_(progress), verbose_(verbose), terminal_(::isatty(1) != 0),
      startedAt_(SteadySeconds()) {
  s.boxes.beforeOutput = [this] { ClearProgress(); };
  s.status.onChange = [this](int panel, const std::string& text) {
    if (panel == 0) Status(text);
  };
  s.log.onAdd = [this](const std::string& line) {
    ClearProgress();
    logLines.push_back(line);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  if (progress_) s.progress.onChange = [this](int position) { Progress(position); };
}

RunPrinter::~RunPrinter() { ClearProgress(); }

std::string RunPrinter::WithoutSpinner(const std::string& text) {
  static const std::string kFrames = "-/|\\";
  if (text.size() >= 2 && text[text.size() - 2] == ' ' &&
      kFrames.find(text.back()) != std::string::npos)
    return text.substr(0, text.size() - 2);
  return text;
}

void RunPrinter::Status(const std::string& text) {
  if (text == lastStatus) return;
  lastStatus = text;
  const std::string base = WithoutSpinner(text);
  if (verbose_ && base != stepBase_)
    std::fprintf(stderr, "step: %8.3f s  %s\n", SteadySeconds() - startedAt_, base.c_str());
  stepBase_ = base;
  if (!terminal_) {
    // In a log each text once: the spinner's frames would fill it.
    if (base == openBase_) return;
    openBase_ = base;
    std::printf("%s\n", base.c_str());
    std::fflush(stdout);
    return;
  }
  // One line, each text over the one before, as the window's status panel; a log line or the
  // progress bar ends it where it stands, and the next text starts a line of its own.
  if (progress_) progress_->Clear();
  std::printf("\r%s\033[K", text.c_str());
  std::fflush(stdout);
  statusOpen_ = true;
  openBase_ = base;
}

void RunPrinter::EndStatusLine() {
  if (!statusOpen_) return;
  // The text stays on the screen as it was meant, without a spinner frame; a text already
  // standing so is not written a second time.
  if (lastStatus == openBase_)
    std::printf("\n");
  else
    std::printf("\r%s\033[K\n", openBase_.c_str());
  std::fflush(stdout);
  statusOpen_ = false;
}

void RunPrinter::ClearProgress() {
  if (progress_) progress_->Clear();
  EndStatusLine();
}

void RunPrinter::Progress(int position) {
  // The bar takes the terminal line: the status text stays above it. Progress lines elsewhere
  // leave the status line alone.
  if (progress_->OnTerminalLine()) EndStatusLine();
  auto& prg = *s_.session->prg;
  const std::string label = prg.ModuleName();
  // The kernel goes first and is not part of the image: a phase of its own, in bytes.
  if (const int kernel = KernelBytesSent(prg); kernel >= 0) {
    kernelPhase_ = true;
    progress_->Update(label + " kernel", 0, cpu::TCPU_H8_3664::kKernelSize,
                      std::min(kernel + 1, cpu::TCPU_H8_3664::kKernelSize), SteadySeconds(), 1);
    return;
  }
  // The image moving means the kernel was taken: its phase is over (the bar set back after a
  // failed kernel is no such move).
  if (kernelPhase_ && position > s_.progress.Min()) {
    kernelPhase_ = false;
    progress_->Finished(true);
  }
  if (byteEnd_ > byteStart_) {
    // Bytes go out in the Program state only: the bar's moves before it (the run's start) and
    // after it (set back at the end) count nothing.
    if (prg.Cpu().State != programmer::CpuState::Program) return;
    const std::uint32_t at = std::clamp(prg.Cpu().CurAddr, byteStart_, byteEnd_);
    progress_->Update(label, 0, static_cast<int>(byteEnd_ - byteStart_),
                      static_cast<int>(at - byteStart_), SteadySeconds(), 1);
    return;
  }
  progress_->Update(label, s_.progress.Min(), s_.progress.Max(), position, SteadySeconds());
}

void RunPrinter::ModuleDone(bool taken) {
  kernelPhase_ = false;
  if (!progress_) return;
  // Every byte went: the count ends at the whole (the bar's last move may lie short of it).
  if (taken && byteEnd_ > byteStart_ && !progress_->OnTerminalLine()) {
    const int all = static_cast<int>(byteEnd_ - byteStart_);
    progress_->Update(s_.session->prg->ModuleName(), 0, all, all, SteadySeconds(), 1);
  }
  progress_->Finished(taken);
}

} // namespace vk::cli
