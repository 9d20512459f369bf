#pragma once
// TCPU_CORTEX_FLASH: programs a Cortex-M3 (STM32) through the USART protocol of its ROM boot
// loader (ST AN3155; boot mode per AN2606). A run synchronises (0x7F), asks Get (the protocol
// version and which erase command is offered) and Get ID (the product, which gives the page
// size), then reads one byte to learn whether read protection is active: the loader refuses the
// read command itself then. A program run erases the pages the image covers, writes it in
// word-aligned blocks of at most 256 bytes (0xFF where the image has no byte), reads every
// written block back and compares, and, when asked, starts the program with Go. A read run reads
// the range into the image; a compare run compares the range with it.
//
// The image's 16-bit addresses lie in the flash at PlacementBase(ImageWindow, RegionStart), the
// rule the dry run asks as well.

#include "cpu/StmBootLoader.h"
#include "protocol/ProtocolBase.h"
#include "protocol/RunEstimate.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vk::cpu {

// How long the conversation waits. Limits are milliseconds from the moment the answer was due.
struct CortexFlashTiming {
  int settleMs = 200;           // after the rate and parity change, before the first 0x7F
  int syncQuietMs = 250;        // no answer to 0x7F: it goes again
  int answerLimitMs = 1000;     // an acknowledgement, or the bytes of an answer
  int erasePageLimitMs = 100;   // per page erased (STM32F1: 40 ms at most per page)
  int massEraseLimitMs = 30000; // erasing the whole flash, or removing read protection
  int afterResetMs = 300;       // the chip restarts its loader after removing read protection
  // After the bytes of the run's first read, a quiet line this long means the loader sends no
  // check byte behind the data (ST's loader does not; a loader of the maker's own does).
  int checkByteQuietMs = 200;
  // For vkprog program --dry-run's estimate: the STM32F1 data sheet's typical times, a page
  // erase and the programming of one 256-byte block (128 half-words of 52.5 us).
  int typicalPageEraseMs = 20;
  int typicalBlockWriteMs = 7;
  int typicalMassEraseMs = 20; // STM32F1 data sheet: a mass erase, typical
};

class TCPU_CORTEX_FLASH : public programmer::ProtocolBase {
public:
  using programmer::ProtocolBase::ProtocolBase;

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  void InitStep(bool& skipErase) override;
  void EraseBegin() override;
  void EraseStep() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void Finish() override;

  static constexpr std::uint32_t kFlashBase = 0x08000000;
  static constexpr std::uint32_t kMaxBlock = 256;      // Write Memory and Read Memory
  static constexpr std::uint32_t kMaxErasePages = 255; // pages one erase command names
  static constexpr int kSyncRetries = 20;
  static constexpr int kMaxRereads = 3; // a read whose check byte is wrong is read again
  static constexpr CortexFlashTiming kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);

  // The page size of a product ID, with its name; nothing for a product not in the table.
  struct Product {
    std::uint16_t id;
    const char* name;
    std::uint32_t pageSize;
    std::uint32_t flashSizeAt; // the flash size register (16 bits, in KiB) in system memory
  };
  static std::optional<Product> FindProduct(std::uint16_t id);

  // What the run is doing.
  enum class Stage : std::int32_t {
    Sync,
    Get,
    GetId,
    Probe,     // a one-byte read: refused at once while read protection is active
    Unprotect, // Readout Unprotect: the chip erases its flash and restarts
    Restart,   // waiting for the restarted loader
    Erase,
    Write,
    Verify,
    Read, // a read or compare run
    Go,
    Finished,
    FlashSize, // an identify run reads the flash size register
  };
  // The steps of one command on the wire.
  enum class Talk : std::int32_t {
    Send,     // the next frame of the command
    AwaitAck, // its acknowledgement
    AwaitData,
    Idle, // between commands, or waiting out a pause
  };

  programmer::StepOf<Stage> RunStage;
  programmer::StepOf<Talk> TalkStep = Talk::Idle;
  std::uint8_t EraseCommand = 0; // 0x43 or 0x44, as Get offers
  std::uint16_t ProductId = 0;
  std::uint32_t FlashBase = kFlashBase;

private:
  // One command: frames each answered by an acknowledgement ("" awaits one more without
  // sending), then perhaps data.
  struct Command {
    std::string name;                  // "Write Memory", for the log and the reasons
    std::optional<std::uint32_t> addr; // the address it works on, for the reasons
    std::vector<std::string> frames;
    enum class Data { None, Counted, Fixed } data = Data::None;
    std::uint32_t dataCount = 0; // Fixed: bytes to take
    int lastAckLimitMs = kTiming.answerLimitMs;
  };
  void Advance();
  bool TalkTick(); // false: nothing more to do before new bytes or time
  void Start(Command command);
  void CommandDone();
  void NextStage();
  void Refused();
  void SendSync();
  void StartErase();
  void EraseAllFlash(); // one command for the whole flash
  void NextErase();
  void NextWrite();
  void NextVerify();
  void NextRead();
  void StartGo();
  // An identify run has what it can learn: the protection, and the flash size where readable.
  void Identified(bool readProtected);
  void TakeReadData();
  std::string Where() const;
  std::string Nothing() const; // "nothing written" or "nothing read"
  void Log(const std::string& line);
  // The block of the image at offset `at` as written: the range's bytes, 0xFF around them.
  std::vector<std::uint8_t> BlockAt(std::uint32_t at, std::uint32_t count) const;

  Command command_;
  std::size_t frame_ = 0;
  std::string rx_;
  std::string data_;
  std::int32_t syncRepeats_ = 0;
  std::int32_t rereads_ = 0;
  int waitLimitMs_ = 0;
  stm_boot::CheckByteLearner checkBytes_; // learnt on the run's first read
  bool awaitingCheckByte_ = false;
  bool protected_ = false;
  bool unprotected_ = false;
  std::uint32_t rangeStart_ = 0, rangeEnd_ = 0; // the image's offsets to write or read
  std::vector<std::uint32_t> erasePages_;
  std::size_t erasedUpTo_ = 0;
  std::uint32_t nextAt_ = 0;                                     // the next block's offset
  std::vector<std::pair<std::uint32_t, std::uint32_t>> written_; // offset, length
  std::size_t verifiedUpTo_ = 0;
  std::pair<std::uint32_t, std::uint32_t> reading_{};
};

} // namespace vk::cpu
