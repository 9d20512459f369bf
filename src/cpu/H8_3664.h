#pragma once
// TCPU_H8_3664: H8 microcontrollers through their on-chip boot mode. The chip matches its bit
// rate to a 0x00 from the host, takes a 1,024-byte programming kernel and starts it; the kernel
// then takes the image as Intel HEX records at 115200 bit/s, answering each with one character.
// Initialize and Erase are never entered: InitBegin goes straight to Program, and erasing is
// the kernel's business. A run whose kernel did not load fails at once, before anything is sent.
// The boot ROM echoes every byte of the size and the kernel. Four kernel bytes may be on their
// way unechoed: that is what the chip's SCI holds without an overrun even when its transmitter
// is a little slower than the host's (one echo going out, one waiting to, one byte in the ROM's
// hands, one in the receive register while the next shifts in), so the wire stays full through
// a USB adapter's turnaround while the chip sets the pace, and a byte the chip took wrongly fails
// the run at once. No step holds the tick thread: a stop between two bytes
// ends the boot before the chip starts a kernel.

#include "cpu/Kernels.h"
#include "protocol/RecordLoader.h"
#include "protocol/RunEstimate.h"

namespace vk::cpu {

// How long the H8 boot waits and pauses. A poll is one step of the boot: a tick of the run
// (10 ms) or an answer delivered.
struct H8Timing {
  int rateSettleMs = 200;  // after the kernel's 0xAA, at its rate: the kernel starts and sets it
  int afterConfirmMs = 2;  // after 0x55 is sent, and after its 0xAA is taken
  int echoLimitMs = 100;   // for the echo of each byte of the size and the kernel (a byte takes
                           // about 1 ms at 9600 bit/s; USB adapters add up to 16 ms)
  int eraseLimitMs = 8000; // after the last echo, for the ROM's 0xAA: it erases every block that
                           // holds data first (H8/3664: 5 blocks, at most 1.2 s each)
  int answerPolls = 50;    // polls for 0x00 or 0xAA before a new attempt
  // For vkprog program --dry-run's estimate: the ROM measures several 0x00 before it answers one
  // (the third, as vkdevsim's chip), and erases a flash that holds a program (5 blocks, 100 ms
  // each typically).
  int typicalMatchAttempts = 3;
  int typicalEraseMs = 500;
};

class TCPU_H8_3664 : public programmer::RecordLoader {
public:
  using programmer::RecordLoader::RecordLoader;

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void ProgramEnd() override;
  void Finish() override;

  static constexpr std::uint32_t kKernelBaud = 115200;
  static constexpr int kKernelSize = BootKernel::kSize;
  static constexpr int kBootRetries = 20;     // new boot attempts before giving up
  static constexpr int kMaxRecordRetries = 5; // records sent again per run
  static constexpr H8Timing kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);

  // The steps of the boot (SyncStep), in ProgramBegin.
  enum class Boot : std::int32_t {
    SendBaudMatch,  // 0x00 at the boot rate
    AwaitBaudMatch, // the chip's 0x00; then 0x55
    AwaitConfirm,   // 0xAA
    SendKernelSize, // 1,024, high byte first
    SendKernel,     // the echo of the oldest kernel byte unechoed; then the next byte
    AwaitKernel,    // the ROM's 0xAA once it has erased the flash
    KernelRuns,     // to the kernel's rate
    KernelSilent,   // to the kernel's rate, then the run fails
    KernelSettled,  // the kernel's rate has settled; what came meanwhile goes
    StartRecords,   // the record loop starts
    KernelUnheard,  // the rate has settled; the run fails: the kernel never announced itself
    AwaitSizeEcho,  // the echo of the size; then the first kernel byte
  };

  programmer::StepOf<Boot> SyncStep;
  // Polls without the awaited answer.
  std::int32_t TryCount = 0;
  // Bytes of the kernel sent.
  std::int32_t KernelIndex = 0;
  // Bytes of the kernel whose echo is back and equal.
  std::int32_t KernelEchoed = 0;
  // Kernel bytes sent and not yet echoed, at most.
  static constexpr int kKernelBytesInFlight = 4;
  // Boot attempts made again because the chip did not answer.
  std::int32_t BootRepeats = 0;
  // Records sent again in this run.
  std::int32_t RecordRepeats = 0;

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
  // Sends bytes whose echo the next steps await.
  void SendEchoed(const std::string& bytes);
  enum class Echo : std::uint8_t { Waiting, Complete, Wrong };
  // Takes the echoes that have come back, no more than were sent.
  Echo CollectEcho();
  // Sends the next kernel byte and moves the bar.
  void SendNextKernelByte();
  // Takes the kernel's echoes that have come back, no more than were sent, and sends the bytes
  // the window then allows; fails the run on a wrong or missing echo.
  void KernelEchoStep();

  std::int64_t holdUntil_ = 0;
  std::string echoExpected_; // the bytes last sent, whose echo is awaited
  std::string echoed_;       // what has come back of them
  // When each kernel byte in flight was sent, by index modulo the window.
  std::int64_t kernelSentAt_[kKernelBytesInFlight] = {};
};

} // namespace vk::cpu
