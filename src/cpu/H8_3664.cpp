#include "cpu/H8_3664.h"

#include "cpu/Kernels.h"
#include "link/Communication.h"

namespace vk::cpu {

using programmer::CpuState;
using programmer::TCPU;

namespace {
constexpr std::uint8_t kBaudMatch = 0x00; // sent, and answered, at the boot rate
constexpr std::uint8_t kConfirm = 0x55;
constexpr std::uint8_t kConfirmed = 0xAA;          // also the chip's word that the kernel runs
const std::string kKernelSizeBytes("\x04\x00", 2); // 1,024, high byte first

bool IsOnly(const std::string& entry, std::uint8_t b) {
  return entry.size() == 1 && static_cast<std::uint8_t>(entry[0]) == b;
}
} // namespace

void TCPU_H8_3664::InitBegin(link::TComm* link, const std::string& param) {
  TCPU::InitBegin(link, param);
  // Without its kernel the chip would be sent filler as a program and started on it.
  if (!Kernel || !Kernel->Loaded()) {
    const std::string file = Kernel ? TProgKernel::FileName(Kernel->Number()) : "";
    Fail(programmer::FailReason::KernelMissing,
         file.empty() ? "no boot kernel for this target"
                      : "boot kernel " + file + " did not load; nothing was sent");
    return;
  }
  Comm->SetBaudRate(static_cast<std::uint32_t>(BootBaud));
  Sleep(200);
  SyncStep = 0;
  RetryCount = 0;
  kernelSent_ = false;
  State = CpuState::Program;
  Phase = 0;
}

void TCPU_H8_3664::ProgramBegin() {
  if (SyncStep <= 9) {
    BootStep();
  } else if (SyncStep == kGaveUp) {
    // Step 7 gives up after the kernel went out; earlier the boot mode never answered.
    Fail(programmer::FailReason::NoSync,
         kernelSent_ ? "the boot kernel did not announce itself" : "");
  } else {
    Phase = 1;
    Step = 0;
  }
}

std::uint8_t TCPU_H8_3664::KernelByte(int index) const {
  // Whatever lies past the top of the kernel's image goes as 0xFF.
  const std::uint32_t addr =
      static_cast<std::uint32_t>(Kernel->MinAddr) + static_cast<std::uint32_t>(index);
  return addr < Kernel->KernelImage.size() ? Kernel->KernelImage[addr] : 0xFF;
}

void TCPU_H8_3664::ProgressToMinimum() {
  if (ProgressBar) ProgressBar->SetPosition(ProgressBar->Min());
}

void TCPU_H8_3664::NoBootAnswer() {
  if (++TryCount <= kAnswerTicks) return;
  if (RetryCount >= kBootRetries) {
    SyncStep = kGaveUp;
  } else {
    ++RetryCount;
    SyncStep = 0;
  }
}

void TCPU_H8_3664::BootStep() {
  auto& rx = Comm->RxLines;
  switch (SyncStep) {
  case 0:
    Comm->SetRawMode(true);
    Comm->SetDTR(false);
    rx.Clear();
    Comm->SendChar(kBaudMatch);
    TryCount = 0;
    SyncStep = 1;
    break;
  case 1:
    // The answer is the whole entry: two bytes 0x00 0x00 are not a matched rate.
    if (IsOnly(rx.First(), kBaudMatch)) {
      TryCount = 0;
      SyncStep = 2;
      rx.DeleteFirst();
      Comm->SendChar(kConfirm);
      Sleep(2);
    } else {
      NoBootAnswer();
    }
    break;
  case 2:
    if (IsOnly(rx.First(), kConfirmed)) {
      TryCount = 0;
      SyncStep = 3;
      rx.DeleteFirst();
      Sleep(2);
    } else {
      NoBootAnswer();
    }
    break;
  case 3:
    Comm->SendString(kKernelSizeBytes);
    kernelSent_ = true;
    Sleep(10);
    TryCount = 0;
    SyncStep = 4;
    break;
  case 4:
    if (TryCount < kKernelSize) {
      // The whole kernel in this one tick; the echoes collect in the receive list meanwhile.
      while (TryCount < kKernelSize) {
        Sleep(10);
        Comm->SendChar(KernelByte(TryCount));
        if (ProgressBar)
          ProgressBar->SetPosition((ProgressBar->Max() - ProgressBar->Min()) * TryCount /
                                   kKernelSize);
        ++TryCount;
      }
    } else {
      Sleep(1500);
      TryCount = 0;
      RetryCount = 0;
      Counter = 0;
      SyncStep = 5;
    }
    break;
  case 5: {
    if (rx.Count() == 0) {
      // A chip that never answers would otherwise keep the run waiting for good; Counter
      // counts these quiet polls.
      if (++Counter > kKernelEndTicks) SyncStep = 7;
      break;
    }
    while (rx.Count() > 1) rx.DeleteFirst();
    const std::string last = rx.First();
    if (!last.empty() && static_cast<std::uint8_t>(last.back()) == kConfirmed) {
      SyncStep = 6;
    } else if (++TryCount > kKernelEndTicks) {
      SyncStep = 7;
    }
    break;
  }
  case 6:
    ProgressToMinimum();
    Comm->SetRawMode(false);
    Comm->SetBaudRate(kKernelBaud);
    Sleep(200);
    rx.Clear();
    SyncStep = kRunning;
    break;
  case 7:
    ProgressToMinimum();
    Comm->SetRawMode(false);
    rx.Clear();
    Comm->SetBaudRate(kKernelBaud);
    Sleep(200);
    SyncStep = kGaveUp;
    break;
  default:
    break;
  }
}

void TCPU_H8_3664::ProgramStep() {
  static constexpr RecordLoopRules kRules{"\x06.", "R", "X", true, kMaxRecordRetries};
  RecordLoopStep(kRules, RetryCount, [this] {
    Comm->SetRawMode(true);
    Comm->RxLines.Clear();
    RetryCount = 0;
  });
}

void TCPU_H8_3664::ProgramEnd() {
  Comm->SetRawMode(false);
  TCPU::ProgramEnd();
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
