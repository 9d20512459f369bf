#pragma once
// The serial boot loader of a Cortex-M3 chip, as far as a blank check needs it. Single raw
// bytes at the loader's rate (even parity on a real line); "y" (0x79) acknowledges, 0x1F
// refuses:
//   0x7F                 synchronise (again at any time between commands): "y"
//   0x11 0xEE            read memory (the command and its complement): "y"
//   4 address bytes + X  most significant first, X the complement of their XOR: "y"; a wrong
//                        X, or an address outside the memory: 0x1F
//   N, ~N                N + 1 bytes to read: "y", then at once the N + 1 bytes and one check
//                        byte, the XOR of those bytes; ST's ROM boot loader (its application
//                        note AN3155, Read Memory) sends the N + 1 bytes only (checkByte false)
// A command byte whose complement does not match, or any command but read: 0x1F. Memory is
// mapped at 0 and at 0x08000000; it is blank (0xFF) unless scripted otherwise.
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
};

class CortexBootLoader : public PacedSerialModel {
public:
  static constexpr std::uint8_t kSync = 0x7F;
  static constexpr std::uint8_t kAck = 0x79; // "y"
  static constexpr std::uint8_t kNack = 0x1F;
  static constexpr std::uint8_t kReadMemory = 0x11;
  static constexpr std::uint32_t kFlashBase = 0x08000000;

  enum class Stage : std::uint8_t {
    AwaitSync,
    AwaitCommand,
    AwaitComplement,
    AwaitAddress,
    AwaitLength
  };

  struct Counters {
    int syncs = 0;        // 0x7F acknowledged
    int readCommands = 0; // 0x11 0xEE acknowledged
    int nacks = 0;
    std::uint64_t ignored = 0;             // bytes before the first synchronisation
    std::vector<std::uint32_t> blocksRead; // address of every block sent, in order
  };

  explicit CortexBootLoader(CortexConfig config = {});

  FaultScript& Faults() { return faults_; }
  const CortexConfig& Config() const { return config_; }
  Stage CurrentStage() const { return stage_; }
  const Counters& Stats() const { return stats_; }
  const std::vector<std::uint8_t>& Memory() const { return memory_; }
  // Scripted memory: bytes at an address (offset from the start of the memory).
  void PutMemory(std::uint32_t addr, const std::vector<std::uint8_t>& bytes);
  // Program-like bytes (never 0xFF) from the block that holds addr to the end of the memory.
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
  std::optional<std::uint32_t> Offset(std::uint32_t addr) const;
  void Idle() { stage_ = synced_ ? Stage::AwaitCommand : Stage::AwaitSync; }

  CortexConfig config_;
  std::vector<std::uint8_t> memory_;
  std::optional<std::uint32_t> notBlankFrom_;
  Stage stage_ = Stage::AwaitSync;
  bool synced_ = false;
  std::uint8_t command_ = 0;
  std::vector<std::uint8_t> frame_;
  std::uint32_t readOffset_ = 0;
  std::uint64_t steps_ = 0;
  FaultScript faults_;
  Counters stats_;
};

// vkdevsim cortex (CortexCommand.cpp); `args` excludes the device name.
int RunCortex(const std::vector<std::string>& args);

} // namespace vk::devsim
