#pragma once
// TCPU_H8_3664: H8 microcontrollers through their on-chip boot mode. The chip matches its bit
// rate to a 0x00 from the host, takes a 1,024-byte programming kernel and starts it; the kernel
// then takes the image as Intel HEX records at 115200 bit/s, answering each with one character.
// Initialize and Erase are never entered: InitBegin goes straight to Program, and erasing is
// the kernel's business. A run whose kernel did not load fails at once, before anything is sent.
// The download goes one byte per tick and the waits around it hold the step instead of the tick
// thread, so that a stop between two ticks ends the boot before the chip starts a kernel.

#include "cpu/Kernels.h"
#include "programmer/Cpu.h"

namespace vk::cpu {

class TCPU_H8_3664 : public programmer::TCPU {
public:
  using programmer::TCPU::TCPU;

  void InitBegin(link::TComm* link, const std::string& param) override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void ProgramEnd() override;
  void Finish() override;

  static constexpr std::uint32_t kKernelBaud = 115200;
  static constexpr int kKernelSize = TProgKernel::kSize;
  // Kernel bytes go 10 ms apart, one per tick of the run (10 ms); a tick that comes up to 1 ms
  // early still sends, or timer jitter would make every other gap 20 ms.
  static constexpr std::int64_t kKernelByteSpacingUs = 10000 - 1000;
  static constexpr int kKernelStartMs = 1500; // after the last kernel byte, before its 0xAA
  static constexpr int kRateSettleMs = 200;   // after a change of bit rate
  static constexpr int kAnswerTicks = 50;     // polls for 0x00 or 0xAA before a new attempt
  static constexpr int kBootRetries = 20;     // new attempts before giving up
  static constexpr int kKernelEndTicks = 500; // polls for the final 0xAA before giving up
  static constexpr int kMaxRecordRetries = 5; // records sent again per run

  // The steps of the boot (SyncStep), in ProgramBegin.
  enum class Boot : std::int32_t {
    SendBaudMatch = 0,  // 0x00 at the boot rate
    AwaitBaudMatch = 1, // the chip's 0x00; then 0x55
    AwaitConfirm = 2,   // 0xAA
    SendKernelSize = 3, // 1,024, high byte first
    SendKernel = 4,     // the kernel, one byte per tick, then a pause while it starts
    AwaitKernel = 5,    // the kernel's 0xAA
    KernelRuns = 6,     // to the kernel's rate
    KernelSilent = 7,   // to the kernel's rate, then give up
    KernelSettled = 8,  // the kernel's rate has settled; what came meanwhile goes
    Running = 10,       // the record loop may start
    GaveUp = 99,        // the run fails
  };
  static constexpr Boot kRunning = Boot::Running;
  static constexpr Boot kGaveUp = Boot::GaveUp;

  programmer::StepOf<Boot> SyncStep;
  // The kernel went out during this run (for the reason of a failed boot).
  bool kernelSent_ = false;
  // Polls without the awaited answer.
  std::int32_t TryCount = 0;
  // Bytes of the kernel sent.
  std::int32_t KernelIndex = 0;
  // Repeated attempts: boot attempts, then records sent again.
  std::int32_t RetryCount = 0;

  // The bytes of the kernel sent so far during the boot; -1 once the boot is over.
  int KernelBytesSent() const;

private:
  void BootStep();
  // One poll without the awaited answer while the boot mode is to match the rate.
  void NoBootAnswer();
  // The kernel byte at MinAddr + index (a loaded kernel covers the whole area).
  std::uint8_t KernelByte(int index) const;
  void ProgressToMinimum();
  // The boot's next step waits until the clock passes this, without holding the tick thread.
  void HoldFor(int ms);
  bool Holding() const;

  std::int64_t holdUntil_ = 0;
  std::int64_t lastKernelByteAtUs_ = 0;
  std::string answerDuringPause_; // the last line that came in the pause after the kernel
};

} // namespace vk::cpu
