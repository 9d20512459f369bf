#include "cpu/H8_3664.h"

// On the wire (host left, chip right), first at the boot rate in raw bytes:
//   0x00                 ->                SendBaudMatch
//                        <-  0x00          AwaitBaudMatch  the whole entry; 50 polls, then
//   0x55                 ->                                again from 0x00 (21 attempts)
//                        <-  0xAA          AwaitConfirm    the same
//   0x04 0x00            ->                SendKernelSize
//   1,024 kernel bytes   ->  (echoes)      SendKernel      one a tick, 10 ms apart, then
//                                                          1.5 s to start
//                        <-  ... 0xAA      AwaitKernel     the last byte of the last entry
// then at 115200 bit/s the kernel takes the image in the shared record loop:
//   a record             ->
//                        <-  0x06 / "."    taken: the next record at once
//                        <-  "X"           the same record again (5 per run)
//                        <-  "R"           the run fails
//   ":00000001FF"        ->

#include "link/SerialLink.h"
#include "platform/EventLoop.h"

namespace vk::cpu {

using programmer::CpuState;
using programmer::ProtocolBase;
using programmer::RecordStep;
using programmer::RunPhase;

namespace {
constexpr std::uint8_t kBaudMatch = 0x00; // sent, and answered, at the boot rate
constexpr std::uint8_t kConfirm = 0x55;
constexpr std::uint8_t kConfirmed = 0xAA;          // also the chip's word that the kernel runs
const std::string kKernelSizeBytes("\x04\x00", 2); // 1,024, high byte first

bool IsOnly(const std::string& entry, std::uint8_t b) {
  return entry.size() == 1 && static_cast<std::uint8_t>(entry[0]) == b;
}
} // namespace

void TCPU_H8_3664::InitBegin(link::SerialLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  // Without its kernel, or with a file that is no kernel, the chip would be sent filler or junk
  // as a program and started on it.
  if (!Kernel || !Kernel->Loaded()) {
    Fail(programmer::FailReason::KernelMissing,
         !Kernel ? "no boot kernel for this target"
         : Kernel->Path().empty()
             ? "boot kernel " + std::string(BootKernel::FileName(Kernel->Number())) +
                   " did not load; nothing was sent"
             : Kernel->ProblemText() + "; nothing was sent");
    return;
  }
  Comm->SetBaudRate(static_cast<std::uint32_t>(BootBaud));
  HoldFor(kTiming.rateSettleMs);
  SyncStep = Boot::SendBaudMatch;
  BootRepeats = 0;
  State = CpuState::Program;
  Phase = RunPhase::Begin;
}

void TCPU_H8_3664::HoldFor(int ms) { holdUntil_ = loop_.Now() + ms; }

bool TCPU_H8_3664::Holding() const { return loop_.Now() < holdUntil_; }

void TCPU_H8_3664::ProgramBegin() {
  if (Holding()) {
    // The kernel may announce itself during the pause after it; the link drops every line it
    // delivers, so the last one is kept for AwaitKernel.
    if (SyncStep == Boot::SendKernel && Comm->AnswerWaiting())
      answerDuringPause_ = Comm->LatestAnswer();
    return;
  }
  BootStep();
}

int TCPU_H8_3664::KernelBytesSent() const {
  if (State != CpuState::Program || Phase != RunPhase::Begin) return -1;
  switch (SyncStep.Is()) {
  case Boot::SendBaudMatch:
  case Boot::AwaitBaudMatch:
  case Boot::AwaitConfirm:
  case Boot::SendKernelSize:
    return 0;
  case Boot::SendKernel:
    return KernelIndex;
  case Boot::AwaitKernel:
  case Boot::KernelRuns:
  case Boot::KernelSilent:
  case Boot::KernelSettled:
    return kKernelSize;
  case Boot::StartRecords:
  case Boot::KernelUnheard:
    break;
  }
  return -1;
}

std::uint8_t TCPU_H8_3664::KernelByte(int index) const {
  return Kernel
      ->KernelImage[static_cast<std::size_t>(Kernel->MinAddr) + static_cast<std::size_t>(index)];
}

void TCPU_H8_3664::ProgressToMinimum() {
  if (ProgressBar) ProgressBar->SetPosition(ProgressBar->Min());
}

void TCPU_H8_3664::NoBootAnswer() {
  switch (Unanswered(TryCount, kTiming.answerPolls, BootRepeats, kBootRetries)) {
  case Patience::Wait:
    break;
  case Patience::Retry:
    SyncStep = Boot::SendBaudMatch;
    break;
  case Patience::GiveUp:
    Fail(programmer::FailReason::NoSync);
    break;
  }
}

void TCPU_H8_3664::BootStep() {
  switch (SyncStep.Is()) {
  case Boot::SendBaudMatch:
    Comm->SetRawMode(true);
    Comm->SetDTR(false);
    Comm->DropAnswers();
    Comm->SendChar(kBaudMatch);
    TryCount = 0;
    SyncStep = Boot::AwaitBaudMatch;
    break;
  case Boot::AwaitBaudMatch:
    // The answer is the whole entry: two bytes 0x00 0x00 are not a matched rate.
    if (IsOnly(Comm->PeekAnswer(), kBaudMatch)) {
      TryCount = 0;
      SyncStep = Boot::AwaitConfirm;
      Comm->DropAnswer();
      Comm->SendChar(kConfirm);
      Sleep(kTiming.afterConfirmMs);
    } else {
      NoBootAnswer();
    }
    break;
  case Boot::AwaitConfirm:
    if (IsOnly(Comm->PeekAnswer(), kConfirmed)) {
      TryCount = 0;
      SyncStep = Boot::SendKernelSize;
      Comm->DropAnswer();
      Sleep(kTiming.afterConfirmMs);
    } else {
      NoBootAnswer();
    }
    break;
  case Boot::SendKernelSize:
    Comm->SendString(kKernelSizeBytes);
    Sleep(kTiming.afterSizeMs);
    KernelIndex = 0;
    answerDuringPause_.clear();
    lastKernelByteAtUs_ = loop_.NowMicros();
    SyncStep = Boot::SendKernel;
    break;
  case Boot::SendKernel:
    if (KernelIndex < kKernelSize) {
      // One byte per tick, and none before the spacing has passed: a stop between two ticks ends
      // the download before the last byte, so the chip never starts a kernel for a stopped run.
      constexpr std::int64_t kSpacingUs = (kTiming.kernelByteGapMs - kTiming.tickEarlyMs) * 1000;
      if (loop_.NowMicros() - lastKernelByteAtUs_ < kSpacingUs) break;
      Comm->SendChar(KernelByte(KernelIndex));
      if (ProgressBar)
        ProgressBar->SetPosition((ProgressBar->Max() - ProgressBar->Min()) * KernelIndex /
                                 kKernelSize);
      ++KernelIndex;
      lastKernelByteAtUs_ = loop_.NowMicros();
      if (KernelIndex == kKernelSize) HoldFor(kTiming.kernelStartMs);
    } else {
      TryCount = 0;
      Counter = 0;
      SyncStep = Boot::AwaitKernel;
    }
    break;
  case Boot::AwaitKernel: {
    // Only the newest answer counts; one that came in the pause stands in when none waits.
    std::string last;
    if (Comm->AnswerWaiting()) {
      while (Comm->AnswerCount() > 1) Comm->DropAnswer();
      last = Comm->PeekAnswer();
    } else {
      last.swap(answerDuringPause_);
    }
    if (last.empty()) {
      // A chip that never answers would otherwise keep the run waiting for good; Counter
      // counts these quiet polls, TryCount the answers without the 0xAA.
      if (++Counter > kTiming.kernelEndPolls) SyncStep = Boot::KernelSilent;
      break;
    }
    if (static_cast<std::uint8_t>(last.back()) == kConfirmed) {
      SyncStep = Boot::KernelRuns;
    } else if (++TryCount > kTiming.kernelEndPolls) {
      SyncStep = Boot::KernelSilent;
    }
    break;
  }
  case Boot::KernelRuns:
    ProgressToMinimum();
    Comm->SetRawMode(false);
    Comm->SetBaudRate(kKernelBaud);
    HoldFor(kTiming.rateSettleMs);
    SyncStep = Boot::KernelSettled;
    break;
  case Boot::KernelSettled:
    Comm->DropAnswers();
    SyncStep = Boot::StartRecords;
    break;
  case Boot::StartRecords:
    Phase = RunPhase::Step;
    GoTo(RecordStep::Prepare);
    break;
  case Boot::KernelSilent:
    ProgressToMinimum();
    Comm->SetRawMode(false);
    Comm->DropAnswers();
    Comm->SetBaudRate(kKernelBaud);
    HoldFor(kTiming.rateSettleMs);
    SyncStep = Boot::KernelUnheard;
    break;
  case Boot::KernelUnheard:
    Fail(programmer::FailReason::NoSync, "the boot kernel did not announce itself");
    break;
  }
}

void TCPU_H8_3664::ProgramStep() {
  static constexpr RecordLoopRules kRules{"\x06.", "R", "X", true, kMaxRecordRetries};
  RecordLoopStep(kRules, RecordRepeats, [this] {
    Comm->SetRawMode(true);
    Comm->DropAnswers();
    RecordRepeats = 0;
  });
}

void TCPU_H8_3664::ProgramEnd() {
  Comm->SetRawMode(false);
  ProtocolBase::ProgramEnd();
}

void TCPU_H8_3664::Finish() {
  if (FailedWith == programmer::FailReason::KernelMissing) return; // the link was never touched
  if (Comm->GetBaudRate() != kKernelBaud) {
    Comm->SetBaudRate(kKernelBaud);
    Comm->SetRawMode(false);
    Comm->SetDTR(true);
  } else {
    // A run that failed while programming is still in raw receive mode; text lines are what
    // every other user of the link expects.
    Comm->SetRawMode(false);
  }
}

} // namespace vk::cpu
