#pragma once
// TCPU_CORTEX: a blank check through the Cortex-M3 serial boot loader. It synchronises with the
// loader (0x7F, answered "y"), reads the first 8 KiB and 256 bytes of the flash (from the entry's
// region start, 0x08000000: the boot loader reads only its valid areas) in blocks of 256 bytes with
// single-byte commands each followed by its complement, and ends the run in Done with DoneAs
// Blank or NotBlank and DoneDetail saying the range checked or where data was found, so that it
// is never reported as programmed nor shown as erasing. Nothing is erased or written. A loader may
// send the block right behind the "y" to its length, in the same receive entry: those bytes are the
// first of the block. A loader of the maker's own sends a check byte behind each block; ST's ROM
// boot loader sends the data only. Which one answers is learnt on the first block.

#include "cpu/StmBootLoader.h"
#include "platform/SerialDevice.h"
#include "protocol/ProtocolBase.h"
#include "protocol/RunEstimate.h"

#include <array>

namespace vk::cpu {

// How long the Cortex-M3 conversation waits and pauses. A poll is one step of the run: a tick
// (10 ms) or an answer delivered.
struct CortexTiming {
  int settleMs = 200;        // after the rate and parity change before 0x7F, and after the
                             // link is set back at the end
  int syncQuietPolls = 25;   // polls without "y" to 0x7F before it goes again
  int answerQuietPolls = 50; // polls without an answer during the check before resynchronising
  // After the last byte of the run's first block, a line quiet this long means the loader sends
  // no check byte (ST's ROM boot loader). A USB adapter may hold a check byte back for its
  // latency timer (16 ms by default) and the tick thread may be late: this is twelve times that,
  // and still well below the 50 polls after which an answer counts as missing.
  int checkByteQuietMs = 200;
};

class TCPU_CORTEX : public programmer::ProtocolBase {
public:
  using programmer::ProtocolBase::ProtocolBase;

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  void InitStep(bool& skipErase) override;
  void EraseBegin() override;
  void ProgramBegin() override;
  void Finish() override;

  static constexpr std::uint32_t kNormalBaud = platform::kNormalRate;
  static constexpr std::uint32_t kBlockSize = 256;
  // The last block read lies this far above the region start: 33 blocks.
  static constexpr std::uint32_t kLastBlock = 8192;
  static constexpr int kSyncRetries = 20; // 0x7F sent again in a run before giving up
  static constexpr int kResyncs = 2;      // resynchronisations during the check
  static constexpr int kMaxRereads = 20;  // reads of one block again after a bad check byte
  static constexpr CortexTiming kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);

  // The steps of a synchronisation (SyncStep), in InitStep, EraseBegin or ProgramBegin; the last
  // one hands over to the block check, or to the phase's work.
  enum class Sync : std::int32_t {
    SendSync, // 0x7F
    AwaitAck, // "y"
    Settle,   // what came meanwhile goes; synchronised
  };
  // The steps of the block check (Step), in InitStep once synchronised.
  enum class BlockCheck : std::int32_t {
    SendRead,        // the read command
    AwaitReadAck,    // "y"; then the address frame
    AwaitAddressAck, // "y"; then the length
    AwaitLengthAck,  // "y", perhaps with the first bytes of the block behind it
    TakeBlock,       // the block's bytes and its check byte
    Judge,           // blank, or the next block, or not blank
    Blank,           // the run is over: blank as far as read
    NotBlank,        // the run is over: data found
  };

  programmer::StepOf<Sync> SyncStep;
  // Polls without the awaited answer.
  std::int32_t TryCount = 0;
  // 0x7F sent again in this run because the last one went unanswered.
  std::int32_t SyncRepeats = 0;
  // Resynchronisations during this run's block check.
  std::int32_t Resyncs = 0;
  std::array<std::uint8_t, kBlockSize> BlockData{};
  // Address of the block to read, in the chip's memory map.
  std::uint32_t ReadAddr = 0;
  // Running XOR of the received bytes, then the AND of the block for the blank test.
  std::uint8_t Check = 0;
  // Reads of the current block again after a wrong check byte.
  std::int32_t Rereads = 0;

private:
  // One tick of a synchronisation; false while it goes on.
  bool SyncTick();
  void BlockCheckTick(bool& skipErase);
  // One poll without the awaited answer during the block check.
  void NoAnswer();
  // The oldest answer holds "y".
  bool Acknowledged() const;
  // Bytes of the block being read, then its check byte if the loader sends one; what follows
  // that is dropped.
  void TakeBlockBytes(const std::string& bytes);
  void TakeCheckByte(std::uint8_t b);
  // The block is complete and good: on to judging it.
  void BlockTaken();
  // Says in the trace what was learnt about check bytes.
  void NoteCheckBytes();
  std::string BlockText() const;
  // A synchronisation is under way (at the start, or again during the check).
  bool synchronising_ = true;
  // What the loader sends behind a block: learnt on the run's first block and kept for the run.
  stm_boot::CheckByteLearner checkBytes_;
};

} // namespace vk::cpu
