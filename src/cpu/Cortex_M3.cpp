#include "cpu/Cortex_M3.h"

// On the wire (host left, loader right), in raw bytes at BootBaud with even parity:
//   0x7F                 ->                SendSync
//                        <-  "y"           AwaitAck         25 polls, then 0x7F again
//                                                           (21 attempts)
// then for each block of 256 bytes from the region start (0x08000000) to 0x2000 above it:
//   0x11 0xEE            ->                SendRead         read memory, and its complement
//                        <-  "y"           AwaitReadAck
//   address, XOR check   ->
//                        <-  "y"           AwaitAddressAck
//   0xFF 0x00            ->                                 256 bytes - 1, and its complement
//                        <-  "y"           AwaitLengthAck
//                        <-  256 bytes     TakeBlock        and the XOR of them; a wrong one
//                                                           reads the block again (21 reads).
//                                                           ST's ROM loader sends no XOR: after
//                                                           the first block 200 ms of quiet
//                                                           say so, for the rest of the run
// An answer 50 polls late synchronises again (twice per check) and the check goes on where it
// was. A block with a byte other than 0xFF ends the check: NotBlank; all blank: Blank. Either
// ends the run (Done), saying what was checked or where data was found.

#include "cpu/StmBootLoader.h"
#include "link/ProtocolLink.h"

namespace vk::cpu {

using programmer::CpuState;
using programmer::ProtocolBase;
using programmer::RunPhase;

using stm_boot::CheckByteLearner;
using stm_boot::Reply;

namespace {
// The loader will not do what it was asked: waiting on would only end as "unanswered".
bool HoldsNack(const std::string& answer) { return stm_boot::Heard(answer) == Reply::Nack; }
// An address of the chip's 32-bit memory map, as the log names it: "08000000".
std::string Address(std::uint32_t addr) { return programmer::HexDigits(addr, 8); }

} // namespace

void TCPU_CORTEX::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  Comm->SetBaudRate(static_cast<std::uint32_t>(Setup().bootBaud));
  Comm->SetParity(link::Parity::Even);
  PauseThen(kTiming.settleMs);
  SyncStep = Sync::SendSync;
  synchronising_ = true;
  SyncRepeats = 0;
  Resyncs = 0;
  ReadAddr = static_cast<std::uint32_t>(Setup().regionStart);
  Rereads = 0;
  checkBytes_.Forget();
}

std::string TCPU_CORTEX::BlockText() const {
  return "block at 0x" + programmer::HexDigits(ReadAddr, 8);
}

void TCPU_CORTEX::InitStep(bool& skipErase) {
  if (synchronising_)
    SyncTick();
  else
    BlockCheckTick(skipErase);
}

void TCPU_CORTEX::EraseBegin() {
  if (synchronising_) {
    SyncTick();
    return;
  }
  Phase = RunPhase::Step;
  Step = 0;
}

void TCPU_CORTEX::ProgramBegin() { EraseBegin(); }

void TCPU_CORTEX::Finish() {
  Comm->SetBaudRate(kNormalBaud);
  Comm->SetParity(link::Parity::None);
  Comm->SetRawMode(false);
  Sleep(kTiming.settleMs);
  ProtocolBase::Finish();
}

bool TCPU_CORTEX::Acknowledged() const { return stm_boot::Heard(Comm->PeekAnswer()) == Reply::Ack; }

bool TCPU_CORTEX::SyncTick() {
  switch (SyncStep.Is()) {
  case Sync::SendSync:
    Comm->SetRawMode(true);
    Comm->DropAnswers();
    Comm->SendChar(static_cast<char>(stm_boot::kSync));
    TryCount = 0;
    SyncStep = Sync::AwaitAck;
    break;
  case Sync::AwaitAck:
    if (Acknowledged()) {
      TryCount = 0;
      SyncStep = Sync::Settle;
      Comm->DropAnswer();
      break;
    }
    switch (Unanswered(TryCount, kTiming.syncQuietPolls, SyncRepeats, kSyncRetries)) {
    case Patience::Wait:
      break;
    case Patience::Retry:
      SyncStep = Sync::SendSync;
      break;
    case Patience::GiveUp:
      // Within the check the loader stopped answering a block; at the start it never answered.
      if (Resyncs > 0)
        Fail(programmer::FailReason::RecordUnanswered, BlockText() + " unanswered");
      else
        Fail(programmer::FailReason::NoSync);
      break;
    }
    break;
  case Sync::Settle:
    Comm->DropAnswers();
    synchronising_ = false;
    return true;
  }
  return false;
}

// Synchronising again keeps Step: the check goes on waiting where it was.
void TCPU_CORTEX::NoAnswer() {
  switch (Unanswered(TryCount, kTiming.answerQuietPolls, Resyncs, kResyncs)) {
  case Patience::Wait:
    break;
  case Patience::Retry:
    synchronising_ = true;
    SyncStep = Sync::SendSync;
    break;
  case Patience::GiveUp:
    Fail(programmer::FailReason::RecordUnanswered, BlockText() + " unanswered");
    break;
  }
}

void TCPU_CORTEX::BlockCheckTick(bool& skipErase) {
  switch (At<BlockCheck>()) {
  case BlockCheck::SendRead:
    Comm->SendString(stm_boot::CommandFrame(stm_boot::Command::ReadMemory));
    GoTo(BlockCheck::AwaitReadAck);
    break;
  case BlockCheck::AwaitReadAck:
    if (!Acknowledged())
      // A chip whose read protection is active refuses every Read Memory at its command code.
      return HoldsNack(Comm->PeekAnswer())
                 ? Fail(programmer::FailReason::CommandRefused,
                        BlockText() + ": read command refused (NACK): the chip's read protection "
                                      "is active, so its flash cannot be checked")
                 : NoAnswer();
    TryCount = 0;
    GoTo(BlockCheck::AwaitAddressAck);
    Comm->SendString(stm_boot::AddressFrame(ReadAddr));
    Comm->DropAnswer();
    break;
  case BlockCheck::AwaitAddressAck:
    if (!Acknowledged())
      return HoldsNack(Comm->PeekAnswer()) ? Fail(programmer::FailReason::CommandRefused,
                                                  BlockText() + ": address refused (NACK)")
                                           : NoAnswer();
    TryCount = 0;
    GoTo(BlockCheck::AwaitLengthAck);
    Comm->SendString(stm_boot::LengthFrame(kBlockSize));
    Comm->DropAnswer();
    break;
  case BlockCheck::AwaitLengthAck: {
    if (!Acknowledged())
      return HoldsNack(Comm->PeekAnswer()) ? Fail(programmer::FailReason::CommandRefused,
                                                  BlockText() + ": length refused (NACK)")
                                           : NoAnswer();
    TryCount = 0;
    Check = 0;
    Counter = 0;
    GoTo(BlockCheck::TakeBlock);
    const std::string entry = *Comm->TakeAnswer();
    // A prompt loader sends the block right behind the "y": those bytes are its first.
    const std::string rest = entry.substr(entry.find(static_cast<char>(stm_boot::kAck)) + 1);
    if (!rest.empty()) TakeBlockBytes(rest);
    break;
  }
  case BlockCheck::TakeBlock: {
    if (const auto entry = Comm->TakeAnswer()) {
      TakeBlockBytes(*entry);
      break;
    }
    if (Counter < static_cast<std::int32_t>(kBlockSize) ||
        checkBytes_.Is() != CheckByteLearner::Sends::NotKnown)
      return NoAnswer();
    // The whole first block came and nothing behind it: a loader that sends a check byte sends
    // it at once, so a quiet line means it sends none.
    if (WaitedLongerThan(kTiming.checkByteQuietMs)) {
      if (checkBytes_.HeardNothing()) NoteCheckBytes();
      BlockTaken();
    }
    break;
  }
  case BlockCheck::Judge:
    Check = 0xFF;
    for (const auto b : BlockData) Check &= b;
    if (Check != 0xFF) {
      GoTo(BlockCheck::NotBlank);
    } else if (ReadAddr - static_cast<std::uint32_t>(Setup().regionStart) >= kLastBlock) {
      GoTo(BlockCheck::Blank);
    } else {
      ReadAddr += kBlockSize;
      GoTo(BlockCheck::SendRead);
    }
    break;
  // Either way the run is over: nothing is erased or written, so it passes through neither
  // Erase nor Program (whose texts would say otherwise).
  case BlockCheck::Blank:
    DoneAs = programmer::RunResult::Blank;
    CheckedRange = Address(static_cast<std::uint32_t>(Setup().regionStart)) + "-" +
                   Address(ReadAddr + kBlockSize - 1);
    DoneDetail = CheckedRange + " checked";
    skipErase = true;
    Enter(CpuState::Done, RunPhase::Begin);
    break;
  case BlockCheck::NotBlank:
    DoneAs = programmer::RunResult::NotBlank;
    // The check stops at the first block with data: what it read ends there.
    CheckedRange = Address(static_cast<std::uint32_t>(Setup().regionStart)) + "-" +
                   Address(ReadAddr + kBlockSize - 1);
    DoneDetail = "data at " + Address(ReadAddr) + "-" + Address(ReadAddr + kBlockSize - 1);
    skipErase = true;
    Enter(CpuState::Done, RunPhase::Begin);
    break;
  }
}

void TCPU_CORTEX::TakeBlockBytes(const std::string& bytes) {
  std::size_t at = 0;
  for (; at < bytes.size() && Counter < static_cast<std::int32_t>(kBlockSize); ++at) {
    const auto b = static_cast<std::uint8_t>(bytes[at]);
    BlockData[static_cast<std::size_t>(Counter)] = b;
    Check ^= b;
    ++Counter;
    TryCount = 0;
  }
  if (Counter < static_cast<std::int32_t>(kBlockSize)) return;
  // Anything behind the check byte in this entry is dropped, and behind a block of a loader
  // that sends none.
  if (at < bytes.size() && checkBytes_.Is() != CheckByteLearner::Sends::No)
    return TakeCheckByte(static_cast<std::uint8_t>(bytes[at]));
  switch (checkBytes_.Is()) {
  case CheckByteLearner::Sends::No:
    BlockTaken();
    break;
  case CheckByteLearner::Sends::NotKnown:
    StartWaiting(); // the quiet that would say no check byte comes
    break;
  case CheckByteLearner::Sends::Yes:
    break;
  }
}

void TCPU_CORTEX::TakeCheckByte(std::uint8_t b) {
  if (checkBytes_.HeardMore()) NoteCheckBytes();
  Check ^= b;
  if (Check == 0) {
    BlockTaken();
  } else if (++Rereads > kMaxRereads) {
    // A line that spoils every read of a block would otherwise keep the run going for good.
    Fail(programmer::FailReason::Garbled,
         BlockText() + " read with a wrong check byte " + std::to_string(Rereads) + " times");
  } else {
    GoTo(BlockCheck::SendRead);
  }
}

void TCPU_CORTEX::BlockTaken() {
  Rereads = 0;
  GoTo(BlockCheck::Judge);
}

void TCPU_CORTEX::NoteCheckBytes() {
  Comm->Note(checkBytes_.Is() == CheckByteLearner::Sends::Yes
                 ? "Cortex-M3 loader sends a check byte behind each block: blocks are checked"
                 : "Cortex-M3 loader sends no check byte behind a block (as ST's ROM boot "
                   "loader): blocks are taken as read");
}

} // namespace vk::cpu
