#pragma once
// The serial boot loader of a Cortex-M3 chip (an STM32) as ST's application note AN3155 ("USART
// protocol used in the STM32 bootloader") describes it. Single raw bytes at the loader's rate
// (even parity on a real line); "y" (0x79) acknowledges, 0x1F refuses. Every command is its code
// and the code's complement; a command not served, or a complement that does not match: 0x1F.
//   0x7F                 synchronise (again at any time between commands): "y"
//   0x00 Get             "y", N, version, the command codes served, "y"
//   0x01 Get Version     "y", version, 0x00, 0x00, "y"
//   0x02 Get ID          "y", 0x01, the product ID (two bytes), "y"
//   0x11 Read Memory     "y"; 4 address bytes + their XOR, in the flash: "y"; N, ~N: "y", then
//                        at once the N + 1 bytes, and behind them their XOR when checkByte is set
//                        (a loader of the maker's own; ST's loader sends the bytes only)
//   0x21 Go              "y"; address + XOR in the flash: "y", and the loader is gone
//   0x31 Write Memory    "y"; address + XOR (word-aligned, in the flash): "y"; N, N + 1 bytes
//                        and the XOR of N and them: programmed, "y"
//   0x43 Erase           "y"; N and N + 1 page numbers and their XOR (0xFF 0x00: all): "y"
//   0x44 Extended Erase  "y"; the same with two-byte numbers (0xFFFF, 0xFFFE, 0xFFFD and 0x00:
//                        all); a chip offers one of the two erase commands and refuses the other
//   0x82 Readout Protect "y", "y", and the chip restarts (0x7F again)
//   0x92 Readout Unprotect  "y", the whole flash erased, "y", and the chip restarts
// While read protection is active, Read, Write, Erase and Go are refused at their code.
// Flash is programmed as flash is: a write can only clear bits, so writing over flash that was
// not erased leaves the AND of both. The memory is the flash at 0x08000000; it is blank (0xFF)
// unless scripted otherwise. An address frame whose check byte is not the XOR of the four bytes,
// or an address outside the flash, is refused after the address (AN3155). The loader's other
// readable areas (RAM, system memory, option bytes; AN2606) are not modelled: refused as well,
// but for the flash size register of system memory (RM0008: 0x1FFFF7E0, the flash in KiB).
// At 0 a chip in boot-loader mode shows its system memory, not the flash, and the loader does not
// read there.
//
// The loader measures the host's bit rate on the first byte it receives after a reset (AN2606:
// the duration of the 0x7F frame gives the rate). Any other first byte, such as the "O" of a
// programmer unit's "OP n" on a chip wired straight to the adapter, sets a wrong rate: the chip
// then hears nothing the host sends until it is reset (Stage::WrongRate).
//
// A real loader sends the data right behind the "y", so the host may receive both in one chunk.
// A pause between them (dataDelayMs) can be asked for, as some hosts wait for it.

#include "devsim/FaultScript.h"
#include "devsim/PacedSerialModel.h"

#include <vector>

namespace vk::devsim {

struct CortexConfig {
  std::uint32_t baud = 115200;        // the loader listens at this rate only
  bool requireEvenParity = false;     // in-process only: bytes sent without even parity are lost
  Millis dataDelayMs = 0;             // from the "y" to the length until the data
  bool checkByte = true;              // false: no check byte behind the data, as ST's ROM loader
  std::uint32_t memorySize = 0x20000; // 128 KiB
  std::uint16_t productId = 0x410;    // STM32F10x medium-density
  std::uint8_t eraseCommand = 0x43;   // the erase command offered: 0x43 or 0x44
  bool readProtected = false;
  // Bit 0 of the byte at this address (0x08000000 + offset, or the offset) never clears.
  std::optional<std::uint32_t> stuckBit;
};

// The flash page of a product, from ST's reference manuals; 1 KiB for a product not known.
std::uint32_t CortexPageSize(std::uint16_t productId);
// Where a product keeps its flash size register (RM0008, RM0038).
std::uint32_t CortexFlashSizeRegister(std::uint16_t productId);

class CortexBootLoader : public PacedSerialModel {
public:
  static constexpr std::uint8_t kSync = 0x7F;
  static constexpr std::uint8_t kAck = 0x79; // "y"
  static constexpr std::uint8_t kNack = 0x1F;
  static constexpr std::uint8_t kGet = 0x00;
  static constexpr std::uint8_t kGetVersion = 0x01;
  static constexpr std::uint8_t kGetId = 0x02;
  static constexpr std::uint8_t kReadMemory = 0x11;
  static constexpr std::uint8_t kGo = 0x21;
  static constexpr std::uint8_t kWriteMemory = 0x31;
  static constexpr std::uint8_t kErase = 0x43;
  static constexpr std::uint8_t kExtendedErase = 0x44;
  static constexpr std::uint8_t kReadoutProtect = 0x82;
  static constexpr std::uint8_t kReadoutUnprotect = 0x92;
  static constexpr std::uint32_t kFlashBase = 0x08000000;
  // STM32F10x data sheet: a page erase takes 20 ms, a half-word 52.5 us to program (typical).
  static constexpr Micros kPageEraseUs = 20000;
  static constexpr Micros kHalfWordUs = 53;

  enum class Stage : std::uint8_t {
    AwaitSync,
    AwaitCommand,
    AwaitComplement,
    AwaitAddress,
    AwaitLength,
    AwaitPayload, // Write's data, Erase's page list
    Started,      // Go: the program runs; the loader hears nothing more
    WrongRate,    // the first byte was not 0x7F: the rate measured on it is wrong until a reset
  };

  struct Counters {
    int syncs = 0;        // 0x7F acknowledged
    int readCommands = 0; // 0x11 0xEE acknowledged
    int writes = 0;       // blocks programmed
    int pagesErased = 0;
    int massErases = 0;
    int nacks = 0;
    std::optional<std::uint32_t> startedAt; // Go's address
    std::uint64_t ignored = 0;              // bytes the loader could not take
    std::optional<std::uint8_t> wrongFirst; // the first byte, when it was not 0x7F
    std::vector<std::uint32_t> blocksRead;  // address of every block sent, in order
  };

  explicit CortexBootLoader(CortexConfig config = {});

  FaultScript& Faults() { return faults_; }
  const CortexConfig& Config() const { return config_; }
  Stage CurrentStage() const { return stage_; }
  const Counters& Stats() const { return stats_; }
  const std::vector<std::uint8_t>& Memory() const { return memory_; }
  bool ReadProtected() const { return readProtected_; }
  std::vector<std::uint8_t> FlashImage() const override { return memory_; }
  // Scripted memory: bytes at an offset from the start of the flash.
  void PutMemory(std::uint32_t addr, const std::vector<std::uint8_t>& bytes);
  // Program-like bytes (never 0xFF) from the block that holds the offset addr to the end.
  void SetNotBlankFrom(std::uint32_t addr);

  std::string Summary() const override;

protected:
  void OnByte(std::uint8_t b, Micros at, std::uint32_t baud) override;
  bool ListensAt(std::uint32_t baud) const override;

private:
  // Acknowledges the step named `name` unless the fault script says otherwise; returns when the
  // "y" reaches the host, or nothing when the step is dropped (no answer, noise, refusal,
  // hang-up): the loader then waits for the next command.
  std::optional<Micros> Acknowledge(const char* name, Micros at, std::uint32_t baud);
  void Refuse(const std::string& why, Micros at, std::uint32_t baud);
  void SendBlock(std::uint32_t offset, std::uint32_t count, Micros ackDone, std::uint32_t baud);
  // Where a flash address lies in the memory; nothing for an address outside the flash.
  std::optional<std::uint32_t> Offset(std::uint32_t addr) const;
  // The command byte and its complement are in: acknowledged, refused, or answered at once.
  void TakeCommand(Micros at, std::uint32_t baud);
  void TakeAddress(std::uint32_t addr, Micros at, std::uint32_t baud);
  // The bytes of Write's data or Erase's list still to come; 0 when all are in.
  std::size_t PayloadMissing() const;
  void TakePayload(Micros at, std::uint32_t baud);
  void Program(std::uint32_t offset, const std::uint8_t* data, std::size_t count);
  void ErasePage(std::uint32_t page);
  void EraseAll();
  // The chip restarts (after a change of its read protection): it must be synchronised again.
  void Restart(Micros at);
  void Idle() { stage_ = synced_ ? Stage::AwaitCommand : Stage::AwaitSync; }

  CortexConfig config_;
  std::vector<std::uint8_t> memory_;
  std::optional<std::uint32_t> notBlankFrom_;
  Stage stage_ = Stage::AwaitSync;
  bool synced_ = false;
  bool rateMeasured_ = false; // since the last reset
  // The flash size register, in KiB (little-endian), and whether a read is of it.
  std::vector<std::uint8_t> info_;
  bool readingInfo_ = false;
  const std::vector<std::uint8_t>& Source() const { return readingInfo_ ? info_ : memory_; }
  std::uint8_t command_ = 0;
  std::vector<std::uint8_t> frame_;
  std::uint32_t readOffset_ = 0;
  std::uint32_t writeOffset_ = 0;
  bool readProtected_ = false;
  std::uint64_t steps_ = 0;
  FaultScript faults_;
  Counters stats_;
};

// vkdevsim cortex (CortexCommand.cpp); `args` excludes the device name.
int RunCortex(const std::vector<std::string>& args);

} // namespace vk::devsim
