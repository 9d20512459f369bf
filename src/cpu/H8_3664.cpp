#include "cpu/H8_3664.h"

// On the wire (host left, chip right), first at the boot rate in raw bytes:
//   0x00                 ->                SendBaudMatch
//                        <-  0x00          AwaitBaudMatch  the whole entry; 50 polls, then
//   0x55                 ->                                again from 0x00 (21 attempts)
//                        <-  0xAA          AwaitConfirm    the same
//   0x04 0x00            ->                SendKernelSize
//                        <-  0x04 0x00     AwaitSizeEcho   the echo, within 100 ms a byte
//   a kernel byte        ->                SendKernel      four bytes may await their echo:
//                        <-  the same byte                 the next goes once the echo of
//                                                          the oldest of them is back and
//                                                          equal; within 100 ms a byte
//                        <-  0xAA          AwaitKernel     once the ROM has erased the flash
//                                                          (0xFF: it could not), within 8 s
// then at 115200 bit/s the kernel takes the image in the shared record loop:
//   a record             ->
//                        <-  0x06 / "."    taken: the next record at once
//                        <-  "X"           the same record again (5 per run)
//                        <-  "R"           the run fails
//   ":00000001FF"        ->

#include "link/ProtocolLink.h"
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
constexpr std::uint8_t kEraseError = 0xFF;         // the ROM could not erase the flash
const std::string kKernelSizeBytes("\x04\x00", 2); // 1,024, high byte first

bool IsOnly(const std::string& entry, std::uint8_t b) {
  return entry.size() == 1 && static_cast<std::uint8_t>(entry[0]) == b;
}
} // namespace

void TCPU_H8_3664::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  // Without its kernel, or with a file that is no kernel, the chip would be sent filler or junk
  // as a program and started on it.
  if (!Setup().kernel || !Setup().kernel->Loaded()) {
    Fail(programmer::FailReason::KernelMissing,
         !Setup().kernel ? "no boot kernel for this target"
         : Setup().kernel->Path().empty()
             ? "boot kernel " + std::string(BootKernel::FileName(Setup().kernel->Number())) +
                   " did not load; nothing was sent"
             : Setup().kernel->ProblemText() + "; nothing was sent");
    return;
  }
  // No settle here: the host's own rate applies from the next byte written, the unit had its
  // time after "OP n", and a chip not yet listening is what the match's repeats are for.
  Comm->SetBaudRate(static_cast<std::uint32_t>(Setup().bootBaud));
  SyncStep = Boot::SendBaudMatch;
  BootRepeats = 0;
  State = CpuState::Program;
  Phase = RunPhase::Begin;
}

void TCPU_H8_3664::HoldFor(int ms) { holdUntil_ = loop_.Now() + ms; }

bool TCPU_H8_3664::Holding() const { return loop_.Now() < holdUntil_; }

void TCPU_H8_3664::ProgramBegin() {
  if (Holding()) return;
  BootStep();
}

int TCPU_H8_3664::KernelBytesSent() const {
  if (State != CpuState::Program || Phase != RunPhase::Begin) return -1;
  switch (SyncStep.Is()) {
  case Boot::SendBaudMatch:
  case Boot::AwaitBaudMatch:
  case Boot::AwaitConfirm:
  case Boot::SendKernelSize:
  case Boot::AwaitSizeEcho:
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
  return Setup().kernel->KernelImage[static_cast<std::size_t>(Setup().kernel->MinAddr) +
                                     static_cast<std::size_t>(index)];
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

void TCPU_H8_3664::SendEchoed(const std::string& bytes) {
  Comm->SendString(bytes);
  echoExpected_ = bytes;
  echoed_.clear();
  StartWaiting();
}

TCPU_H8_3664::Echo TCPU_H8_3664::CollectEcho() {
  // In byte mode every entry is one byte; what comes after the echo (the ROM's 0xAA) stays.
  while (echoed_.size() < echoExpected_.size() && Comm->AnswerWaiting()) {
    echoed_ += *Comm->TakeAnswer();
    if (echoed_.compare(0, echoed_.size(), echoExpected_, 0, echoed_.size()) != 0)
      return Echo::Wrong;
  }
  return echoed_.size() >= echoExpected_.size() ? Echo::Complete : Echo::Waiting;
}

void TCPU_H8_3664::SendNextKernelByte() {
  if (ProgressBar)
    ProgressBar->SetPosition((ProgressBar->Max() - ProgressBar->Min()) * KernelIndex / kKernelSize);
  Comm->SendChar(KernelByte(KernelIndex));
  kernelSentAt_[KernelIndex % kKernelBytesInFlight] = loop_.Now();
  ++KernelIndex;
}

namespace {
std::string HexBytes(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    if (!out.empty()) out += ' ';
    out += programmer::HexDigits(static_cast<std::uint8_t>(c), 2);
  }
  return out;
}
} // namespace

void TCPU_H8_3664::KernelEchoStep() {
  // In byte mode every entry is one byte; what comes after the last echo (the ROM's 0xAA) stays.
  while (KernelEchoed < KernelIndex && Comm->AnswerWaiting()) {
    const std::string echo = *Comm->TakeAnswer();
    if (echo.size() != 1 || static_cast<std::uint8_t>(echo[0]) != KernelByte(KernelEchoed)) {
      Fail(programmer::FailReason::Garbled, "kernel byte 0x" +
                                                programmer::HexDigits(KernelEchoed, 4) +
                                                " echoed as " + HexBytes(echo));
      return;
    }
    ++KernelEchoed;
  }
  if (KernelEchoed == kKernelSize) {
    StartWaiting();
    SyncStep = Boot::AwaitKernel;
    BootStep(); // a 0xAA that came with the last echo is taken now
    return;
  }
  while (KernelIndex < kKernelSize && KernelIndex - KernelEchoed < kKernelBytesInFlight)
    SendNextKernelByte();
  // The limit counts for the oldest byte in flight from the moment it was sent.
  if (loop_.Now() - kernelSentAt_[KernelEchoed % kKernelBytesInFlight] >= kTiming.echoLimitMs)
    Fail(programmer::FailReason::NoSync, "kernel byte 0x" + programmer::HexDigits(KernelEchoed, 4) +
                                             " not echoed within " +
                                             std::to_string(kTiming.echoLimitMs) + " ms");
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
      HoldFor(kTiming.afterConfirmMs);
    } else {
      NoBootAnswer();
    }
    break;
  case Boot::AwaitConfirm:
    if (IsOnly(Comm->PeekAnswer(), kConfirmed)) {
      TryCount = 0;
      SyncStep = Boot::SendKernelSize;
      Comm->DropAnswer();
      HoldFor(kTiming.afterConfirmMs);
    } else {
      NoBootAnswer();
    }
    break;
  case Boot::SendKernelSize:
    // From here every byte the chip sends is an answer of its own: an echo, then 0xAA.
    Comm->DropAnswers();
    Comm->SetByteMode(true);
    KernelIndex = 0;
    KernelEchoed = 0;
    SendEchoed(kKernelSizeBytes);
    SyncStep = Boot::AwaitSizeEcho;
    break;
  case Boot::AwaitSizeEcho:
    switch (CollectEcho()) {
    case Echo::Waiting:
      if (WaitedLongerThan(kTiming.echoLimitMs))
        Fail(programmer::FailReason::NoSync,
             "kernel size not echoed within " + std::to_string(kTiming.echoLimitMs) + " ms");
      break;
    case Echo::Wrong:
      Fail(programmer::FailReason::Garbled, "kernel size 0400 echoed as " + HexBytes(echoed_));
      break;
    case Echo::Complete:
      SyncStep = Boot::SendKernel;
      KernelEchoStep();
      break;
    }
    break;
  case Boot::SendKernel:
    KernelEchoStep();
    break;
  case Boot::AwaitKernel:
    // The ROM checks the flash, erases it where it holds data, and then says 0xAA (0xFF when
    // the erase failed); any other byte is noise.
    while (Comm->AnswerWaiting()) {
      // The entry is kept for the loop: ranging over the taken optional's contents would
      // outlive it.
      const std::string answer = *Comm->TakeAnswer();
      for (const char c : answer) {
        if (static_cast<std::uint8_t>(c) == kConfirmed) {
          SyncStep = Boot::KernelRuns;
          return;
        }
        if (static_cast<std::uint8_t>(c) == kEraseError) {
          Fail(programmer::FailReason::EraseFailed,
               "the chip could not erase its flash (0xFF after the kernel)");
          return;
        }
      }
    }
    if (WaitedLongerThan(kTiming.eraseLimitMs)) SyncStep = Boot::KernelSilent;
    break;
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
