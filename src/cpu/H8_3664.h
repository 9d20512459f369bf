#pragma once
// TCPU_H8_3664: H8 microcontrollers through their on-chip boot mode. The chip matches its bit
// rate to a 0x00 from the host, takes a 1,024-byte programming kernel and starts it; the kernel
// then takes the image as Intel HEX records at 115200 bit/s, answering each with one character.
// Initialize and Erase are never entered: InitBegin goes straight to Program, and erasing is
// the kernel's business. A run whose kernel did not load fails at once, before anything is sent.

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
  static constexpr int kKernelSize = 1024;
  static constexpr int kAnswerTicks = 50;      // polls for 0x00 or 0xAA before a new attempt
  static constexpr int kBootRetries = 20;      // new attempts before giving up
  static constexpr int kKernelEndTicks = 500;  // polls for the final 0xAA before giving up
  static constexpr int kMaxRecordRetries = 5;  // records sent again per run
  static constexpr std::int32_t kRunning = 10; // SyncStep: the kernel runs
  static constexpr std::int32_t kGaveUp = 99;  // SyncStep: the boot failed

  // Step of the boot sub-machine: 0 to 7 while booting, kRunning, kGaveUp.
  std::int32_t SyncStep = 0;
  // The kernel went out during this run (for the reason of a failed boot).
  bool kernelSent_ = false;
  // Polls without the awaited answer; the byte index during the kernel download.
  std::int32_t TryCount = 0;
  // Repeated attempts: boot attempts, then records sent again.
  std::int32_t RetryCount = 0;

private:
  void BootStep();
  // One poll without the awaited answer in the first two boot steps.
  void NoBootAnswer();
  // The kernel byte at MinAddr + index; 0xFF past the top of the image.
  std::uint8_t KernelByte(int index) const;
  void ProgressToMinimum();
};

} // namespace vk::cpu
