#pragma once
// An H8 microcontroller (H8/3664 and its kin) in its on-chip boot mode, and the programming
// kernel the host downloads into it.
//
// Boot ROM, all single raw bytes at the rate the host matched:
//   0x00            at any bit rate: after a few of them in a row at one rate (matchZeros) the
//                   chip matches that rate and answers 0x00 (a 0x00 again before the
//                   confirmation matches again at once)
//   0x55            answered 0xAA
//   size, 2 bytes   high byte first, each echoed; 1,024 is taken, any other size is answered
//                   0xFF and the chip waits for a new 0x00
//   1,024 bytes     the kernel, each echoed as it is received; then the ROM checks the flash,
//                   erases every block that holds data (eraseBlockMs each), says 0xAA and the
//                   kernel starts. A kernel of nothing but 0xFF is no program: the chip says
//                   0xAA and then nothing more.
// Kernel, at 115200 bit/s (or the configured rate) only, on the erased flash:
//   Intel HEX data record + CR (LF ignored)   programmed and verified, answered with one
//                   character: 0x06 (or "." if so configured); bad digits, length or checksum:
//                   "X" (send it again); another record type, an address outside the flash, or
//                   a verify failure: "R" (fatal)
//   end record      no answer; programming is over and the chip is back in boot mode, as after
//                   the reset that starts the next board
// Anything else is ignored.
// The SCI holds one received byte while the next shifts in, and one byte to send while the one
// before goes out: the ROM reads a byte, waits until its echo can be handed to the transmitter,
// and reads the next, so it keeps pace with a host that sends back to back. A byte complete while
// the one before is still unread (the ROM erasing, the kernel programming) is an overrun: it is
// lost and the SCI takes nothing more until the chip is reset.

#include "devsim/ModelText.h"
#include "devsim/ScriptedSerialModel.h"

#include <array>
#include <vector>

namespace vk::devsim {

struct H8BootConfig {
  std::uint32_t kernelBaud = 115200; // the rate the downloaded kernel talks at
  std::uint32_t flashSize = 0x8000;  // bytes of flash from address 0 (H8/3664: 32 KiB)
  Millis recordMs = 0;               // programming one record until its answer
  char ack = 0x06;                   // the kernel's answer to a programmed record
  // 0x00 bytes in a row, at one rate, that the boot ROM measures before it answers the match:
  // the ROM times the low period of several of them (the host keeps sending 0x00 until it
  // hears one back). 1 answers the first, as the friendlier model of earlier versions did.
  int matchZeros = 3;
  // Erasing one block that holds data, before the 0xAA after the kernel (H8/3664 flash: typically
  // 100 ms a block, at most 1.2 s). Blank blocks are only checked.
  Millis eraseBlockMs = 100;
};

class H8BootMode : public ScriptedSerialModel {
public:
  static constexpr std::size_t kKernelSize = 1024;
  static constexpr std::uint32_t kMaxFlash = 0x10000;
  static constexpr std::size_t kMaxLine = 1024;
  static constexpr std::uint8_t kBootError = 0xFF;

  enum class Stage : std::uint8_t {
    AwaitMatch,   // boot mode, waiting for 0x00 at any rate
    AwaitConfirm, // rate matched, waiting for 0x55
    AwaitSize,
    AwaitKernel,
    Kernel,    // the downloaded kernel takes records
    NoProgram, // the downloaded bytes were no program: nothing runs
  };

  struct Counters {
    int matches = 0;           // 0x00 bytes that matched the rate
    int confirms = 0;          // 0x55 answered
    int kernelsStarted = 0;    // downloads that ended in 0xAA and a running kernel
    std::uint64_t records = 0; // data records received, well-formed or not
    std::uint64_t programmed = 0;
    std::uint64_t bytesProgrammed = 0;
    std::uint64_t refused = 0; // records answered with anything but the acknowledgement
    int endRecords = 0;
    std::uint64_t ignored = 0; // bytes that meant nothing where they arrived
    std::uint32_t lowestWritten = kMaxFlash;
    std::uint32_t highestWritten = 0;
  };

  explicit H8BootMode(H8BootConfig config = {});

  FaultScript& Faults() { return faults_; }
  const H8BootConfig& Config() const { return config_; }
  Stage CurrentStage() const { return stage_; }
  // The rate the last 0x00 was matched at; 0 before any.
  std::uint32_t MatchedBaud() const { return matchedBaud_; }
  // The bytes of the last kernel download, complete or not.
  const std::vector<std::uint8_t>& ReceivedKernel() const { return kernel_; }
  // The flash; only the first flashSize bytes exist on the chip.
  const std::array<std::uint8_t, kMaxFlash>& Flash() const { return flash_; }
  std::vector<std::uint8_t> FlashImage() const override {
    return {flash_.begin(), flash_.begin() + config_.flashSize};
  }
  // What the chip held before (an older program); the kernel erases it.
  void PutFlash(std::uint32_t addr, const std::vector<std::uint8_t>& bytes);
  const Counters& Stats() const { return stats_; }

  std::string Summary() const override;

protected:
  void OnByte(std::uint8_t b, Micros at, std::uint32_t baud) override;
  bool ListensAt(std::uint32_t baud) const override;
  void OnOverrun(Micros at) override;

private:
  void BootByte(std::uint8_t b, Micros at, std::uint32_t baud);
  // Echoes a byte of the size or the kernel.
  void Echo(std::uint8_t b, Micros at, std::uint32_t baud);
  void KernelByte(std::uint8_t b, Micros at, std::uint32_t baud);
  // Sends a boot answer (or, by the fault script, its garbled form, nothing, or a refusal);
  // false when the step must not be carried out (refused or hung up).
  bool BootAnswer(const char* name, std::string_view answer, std::string_view garbled, Micros at,
                  std::uint32_t baud);
  // The ROM erases the blocks that hold data; returns when it is done.
  Micros EraseForKernel(Micros at);
  void StartKernel(Micros at);
  void HandleRecord(const std::string& line, Micros at, std::uint32_t baud);
  // Sends unless the whole chip is silent (fault "silent"): echoes, boot answers, and record
  // answers once the fault script has had its say.
  Micros Emit(std::string_view bytes, Micros readyAt, std::uint32_t baud);

  H8BootConfig config_;
  Stage stage_ = Stage::AwaitMatch;
  std::uint32_t matchedBaud_ = 0;
  int zerosMeasured_ = 0; // 0x00 bytes in a row while waiting for the match
  std::uint32_t measuredBaud_ = 0;
  std::vector<std::uint8_t> kernel_;
  std::uint16_t size_ = 0;
  int sizeBytes_ = 0;
  std::array<std::uint8_t, kMaxFlash> flash_;
  LineCollector line_{kMaxLine};
  std::uint64_t bootCommands_ = 0;
  Counters stats_;
};

const char* H8StageName(H8BootMode::Stage stage);

// vkdevsim h8 (H8Command.cpp); `args` excludes the device name.
int RunH8(const std::vector<std::string>& args);

} // namespace vk::devsim
