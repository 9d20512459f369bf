#include "cpu/CortexM3Flash.h"

// On the wire (host left, loader right), raw bytes at BootBaud with even parity. Every command is
// its byte and the byte's complement; "y" (0x79) acknowledges, 0x1F refuses:
//   0x7F                         ->                 synchronise (0x1F: it already was)
//   0x00 0xFF                    ->  y N ver cmds y Get: version and the commands offered
//   0x02 0xFD                    ->  y 1 id id y    Get ID
//   0x11 0xEE                    ->  y              Read Memory (0x1F: read protection active)
//     address + XOR              ->  y
//     N, ~N                      ->  y, N + 1 bytes
//   0x92 0x6D                    ->  y ... y        Readout Unprotect (asked for only); the chip
//                                                   erases its flash and restarts: 0x7F again
//   0x43 0xBC  N pages XOR       ->  y ... y        Erase (0xFF 0x00: everything)
//   0x44 0xBB  N(2) pages(2) XOR ->  y ... y        Extended Erase (0xFF 0xFF 0x00: everything)
//   0x31 0xCE  address + XOR  N data XOR  -> y y y  Write Memory, at most 256 bytes
//   then Read Memory of every block written, and 0x21 0xDE address + XOR (Go) when asked.

#include "cpu/StmBootLoader.h"
#include "link/ProtocolLink.h"
#include "platform/SerialDevice.h"
#include "protocol/ImagePrep.h"

#include <algorithm>
#include <cstdio>

namespace vk::cpu {

using programmer::CpuState;
using programmer::FailReason;
using programmer::RunPhase;
using programmer::RunPurpose;
using programmer::RunResult;

using stm_boot::AddressFrame;
using stm_boot::CheckByteLearner;
using stm_boot::CommandFrame;
using stm_boot::LengthFrame;
using stm_boot::Reply;
using stm_boot::WithXor;
using Op = stm_boot::Command;

namespace {
constexpr std::uint32_t kNormalBaud = platform::kNormalRate;
constexpr auto kErase = static_cast<std::uint8_t>(Op::Erase);
constexpr auto kExtendedErase = static_cast<std::uint8_t>(Op::ExtendedErase);

std::string Hex8(std::uint32_t v) { return "0x" + programmer::HexDigits(v, 8); }
} // namespace

void TCPU_CORTEX_FLASH::Log(const std::string& line) {
  Comm->Note(line);
  if (OnLog) OnLog(line);
}

std::string TCPU_CORTEX_FLASH::Nothing() const {
  if (Options().eraseWholeChip) return "nothing erased";
  return Purpose() == RunPurpose::Program ? "nothing written" : "nothing read";
}

std::string TCPU_CORTEX_FLASH::Where() const {
  return command_.addr ? " at " + Hex8(*command_.addr) : "";
}

void TCPU_CORTEX_FLASH::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  Comm->SetBaudRate(static_cast<std::uint32_t>(Setup().bootBaud));
  Comm->SetParity(link::Parity::Even);
  Comm->SetRawMode(true);
  FlashBase =
      programmer::PlacementBase(ImageWindow, static_cast<std::uint32_t>(Setup().regionStart));
  rangeStart_ = CurAddr;
  rangeEnd_ = std::min<std::uint32_t>(EndAddr, programmer::kImageSize);
  checkBytes_.Forget();
  protected_ = unprotected_ = false;
  syncRepeats_ = rereads_ = 0;
  EraseCommand = 0;
  ProductId = 0;
  erasePages_.clear();
  written_.clear();
  rx_.clear();
  // The settling pause before the first 0x7F, waited without blocking so that a stop is at once.
  RunStage = Stage::Sync;
  TalkStep = Talk::Idle;
  waitLimitMs_ = kTiming.settleMs;
  StartWaiting();
  // An erase-only or identify run writes no image: where it would lie does not matter.
  if (rangeStart_ < rangeEnd_ && !Options().eraseWholeChip && Purpose() != RunPurpose::Identify) {
    const std::string outside = programmer::OutsideFlashText(
        FlashBase, rangeStart_, rangeEnd_, static_cast<std::uint32_t>(Setup().regionStart),
        static_cast<std::uint32_t>(Setup().regionEnd));
    if (!outside.empty()) Fail(FailReason::ImageOutsideRegion, outside + "; " + Nothing());
  }
}

void TCPU_CORTEX_FLASH::InitStep(bool& skipErase) {
  skipErase = false;
  Advance();
}

void TCPU_CORTEX_FLASH::EraseBegin() {
  Phase = RunPhase::Step;
  StartErase();
}

void TCPU_CORTEX_FLASH::EraseStep() { Advance(); }

void TCPU_CORTEX_FLASH::ProgramBegin() {
  Phase = RunPhase::Step;
  if (Purpose() == RunPurpose::Program) {
    RunStage = Stage::Write;
    nextAt_ = rangeStart_ & ~3u;
    NextWrite();
  } else {
    RunStage = Stage::Read;
    nextAt_ = rangeStart_;
    NextRead();
  }
}

void TCPU_CORTEX_FLASH::ProgramStep() { Advance(); }

void TCPU_CORTEX_FLASH::Finish() {
  Comm->SetBaudRate(kNormalBaud);
  Comm->SetParity(link::Parity::None);
  Comm->SetRawMode(false);
  Sleep(kTiming.settleMs);
  ProtocolBase::Finish();
}

void TCPU_CORTEX_FLASH::CommandDone() {
  TalkStep = Talk::Idle;
  switch (RunStage.Is()) {
  case Stage::Sync:
    RunStage = Stage::Get;
    Start({"Get", {}, {CommandFrame(Op::Get)}, Command::Data::Counted});
    break;
  case Stage::Get: {
    const auto version = data_.empty() ? 0 : static_cast<std::uint8_t>(data_[0]);
    const std::string offered = data_.size() > 1 ? data_.substr(1) : std::string();
    const auto offers = [&](std::uint8_t c) {
      return offered.find(static_cast<char>(c)) != std::string::npos;
    };
    EraseCommand = offers(kExtendedErase) ? kExtendedErase : offers(kErase) ? kErase : 0;
    char text[96];
    std::snprintf(text, sizeof text, "boot loader version %u.%u, %s", version >> 4, version & 0xF,
                  EraseCommand == kExtendedErase ? "Extended Erase (0x44)"
                  : EraseCommand == kErase       ? "Erase (0x43)"
                                                 : "no erase command");
    Log(text);
    char versionText[16];
    std::snprintf(versionText, sizeof versionText, "%u.%u", version >> 4, version & 0xF);
    Identity.push_back(
        {"loader", std::string("USART boot loader, protocol version ") + versionText});
    Identity.push_back({"erase command", EraseCommand == kExtendedErase ? "Extended Erase (0x44)"
                                         : EraseCommand == kErase       ? "Erase (0x43)"
                                                                        : "none"});
    if (EraseCommand == 0 && Purpose() == RunPurpose::Program) {
      Fail(FailReason::CommandRefused,
           "the boot loader offers neither Erase (0x43) nor Extended Erase (0x44); " + Nothing());
      return;
    }
    RunStage = Stage::GetId;
    Start({"Get ID", {}, {CommandFrame(Op::GetId)}, Command::Data::Counted});
    break;
  }
  case Stage::GetId: {
    ProductId = 0;
    for (const char c : data_)
      ProductId = static_cast<std::uint16_t>(ProductId << 8 | static_cast<std::uint8_t>(c));
    const auto product = FindProduct(ProductId);
    Log("product ID 0x" + programmer::HexDigits(ProductId, 4) + " (" +
        (product ? std::string(product->name) + ", pages of " + std::to_string(product->pageSize) +
                       " bytes"
                 : std::string("not in the page table")) +
        ")");
    Identity.push_back(
        {"product ID", "0x" + programmer::HexDigits(ProductId, 4) +
                           (product ? " (" + std::string(product->name) + ")" : "")});
    RunStage = Stage::Probe;
    Start({"Read Memory",
           FlashBase,
           {CommandFrame(Op::ReadMemory), AddressFrame(FlashBase), LengthFrame(1)},
           Command::Data::Fixed,
           1});
    break;
  }
  case Stage::Probe:
    if (Purpose() == RunPurpose::Identify)
      Identified(false);
    else if (Purpose() == RunPurpose::Program)
      Enter(CpuState::Erase, RunPhase::Begin);
    else
      Enter(CpuState::Program, RunPhase::Begin);
    break;
  case Stage::Unprotect:
    unprotected_ = true;
    Log("read protection removed; the chip has erased its flash and restarts");
    RunStage = Stage::Restart;
    waitLimitMs_ = kTiming.afterResetMs;
    StartWaiting();
    break;
  case Stage::Restart:
    break;
  case Stage::Erase:
    NextErase();
    break;
  case Stage::Write: {
    const auto [at, count] = written_.back();
    const std::uint32_t from = std::max(at, rangeStart_), to = std::min(at + count, rangeEnd_);
    BytesAcknowledged += to > from ? to - from : 0;
    NextWrite();
    break;
  }
  case Stage::Verify: {
    const auto [at, count] = reading_;
    const auto expected = BlockAt(at, count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const auto got = static_cast<std::uint8_t>(data_[i]);
      if (got == expected[i]) continue;
      char text[96];
      std::snprintf(text, sizeof text, "verify: flash differs at 0x%08X (read %02X, expected %02X)",
                    static_cast<unsigned>(FlashBase + at + i), got, expected[i]);
      Fail(FailReason::VerifyFailed, text);
      return;
    }
    const std::uint32_t from = std::max(at, rangeStart_), to = std::min(at + count, rangeEnd_);
    BytesVerified += to > from ? to - from : 0;
    ++verifiedUpTo_;
    NextVerify();
    break;
  }
  case Stage::Read:
    TakeReadData();
    break;
  case Stage::Go:
    // Said after "Verified" in the log (the verify came first); at once in the trace.
    AfterVerifiedLog = "started the program at " + Hex8(*command_.addr);
    Comm->Note(AfterVerifiedLog);
    Enter(CpuState::Done, RunPhase::Begin);
    break;
  case Stage::FlashSize: {
    const unsigned kib = static_cast<std::uint8_t>(data_[0]) |
                         static_cast<unsigned>(static_cast<std::uint8_t>(data_[1])) << 8;
    Identity.push_back({"flash", std::to_string(kib) + " KiB (the flash size register at " +
                                     Hex8(*command_.addr) + ")"});
    DoneAs = RunResult::Identified;
    Enter(CpuState::Done, RunPhase::Begin);
    break;
  }
  case Stage::Finished:
    break;
  }
}

void TCPU_CORTEX_FLASH::StartErase() {
  RunStage = Stage::Erase;
  erasePages_.clear();
  erasedUpTo_ = 0;
  if (Options().eraseWholeChip) {
    Log("erasing the whole flash");
    EraseAllFlash();
    return;
  }
  if (rangeStart_ >= rangeEnd_) {
    Enter(CpuState::Program, RunPhase::Begin);
    return;
  }
  const auto product = FindProduct(ProductId);
  if (!product) {
    Log("page size of product 0x" + programmer::HexDigits(ProductId, 4) +
        " not known: erasing the whole flash");
    EraseAllFlash();
    return;
  }
  const std::uint32_t offset = FlashBase - kFlashBase;
  for (std::uint32_t page = (offset + rangeStart_) / product->pageSize;
       page <= (offset + rangeEnd_ - 1) / product->pageSize; ++page)
    erasePages_.push_back(page);
  NextErase();
}

void TCPU_CORTEX_FLASH::EraseAllFlash() {
  // AN3155: Erase with 0xFF (global erase) and its complement 0x00; Extended Erase with the
  // special code 0xFFFF (mass erase) and its check byte 0x00.
  const std::string all =
      EraseCommand == kExtendedErase ? std::string("\xFF\xFF\x00", 3) : std::string("\xFF\x00", 2);
  Start({EraseCommand == kExtendedErase ? "Extended Erase" : "Erase",
         {},
         {CommandFrame(static_cast<Op>(EraseCommand)), all},
         Command::Data::None,
         0,
         kTiming.massEraseLimitMs});
  erasedUpTo_ = 1; // the one command is the whole erase
}

void TCPU_CORTEX_FLASH::NextErase() {
  if (erasedUpTo_ >= erasePages_.size()) {
    Enter(CpuState::Program, RunPhase::Begin);
    return;
  }
  const std::size_t count = std::min<std::size_t>(kMaxErasePages, erasePages_.size() - erasedUpTo_);
  std::string list;
  const bool extended = EraseCommand == kExtendedErase;
  const auto n = static_cast<std::uint32_t>(count - 1);
  if (extended) list += static_cast<char>(n >> 8);
  list += static_cast<char>(n);
  for (std::size_t i = erasedUpTo_; i < erasedUpTo_ + count; ++i) {
    if (extended) list += static_cast<char>(erasePages_[i] >> 8);
    list += static_cast<char>(erasePages_[i]);
  }
  const std::uint32_t firstPage = erasePages_[erasedUpTo_];
  const auto pageSize = FindProduct(ProductId)->pageSize;
  Start({extended ? "Extended Erase" : "Erase",
         kFlashBase + firstPage * pageSize,
         {CommandFrame(static_cast<Op>(EraseCommand)), WithXor(list)},
         Command::Data::None,
         0,
         kTiming.answerLimitMs + static_cast<int>(count) * kTiming.erasePageLimitMs});
  erasedUpTo_ += count;
}

std::vector<std::uint8_t> TCPU_CORTEX_FLASH::BlockAt(std::uint32_t at, std::uint32_t count) const {
  std::vector<std::uint8_t> block(count, 0xFF);
  for (std::uint32_t i = 0; i < count; ++i)
    if (at + i >= rangeStart_ && at + i < rangeEnd_) block[i] = Buffer[at + i];
  return block;
}

void TCPU_CORTEX_FLASH::NextWrite() {
  const std::uint32_t end = (rangeEnd_ + 3) & ~3u;
  while (nextAt_ < end) {
    const std::uint32_t at = nextAt_;
    const std::uint32_t blockEnd = std::min((at & ~(kMaxBlock - 1)) + kMaxBlock, end);
    nextAt_ = blockEnd;
    const auto block = BlockAt(at, blockEnd - at);
    // Erased flash holds 0xFF already.
    if (std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0xFF; })) continue;
    CurAddr = at;
    written_.emplace_back(at, blockEnd - at);
    std::string payload(1, static_cast<char>(block.size() - 1));
    payload.append(block.begin(), block.end());
    Start({"Write Memory",
           FlashBase + at,
           {CommandFrame(Op::WriteMemory), AddressFrame(FlashBase + at), WithXor(payload)}});
    return;
  }
  RunStage = Stage::Verify;
  verifiedUpTo_ = 0;
  NextVerify();
}

void TCPU_CORTEX_FLASH::NextVerify() {
  if (verifiedUpTo_ >= written_.size()) {
    Verified = !written_.empty();
    if (Options().startAfterProgramming)
      StartGo();
    else
      Enter(CpuState::Done, RunPhase::Begin);
    return;
  }
  reading_ = written_[verifiedUpTo_];
  CurAddr = reading_.first;
  const std::uint32_t addr = FlashBase + reading_.first;
  Start({"Read Memory",
         addr,
         {CommandFrame(Op::ReadMemory), AddressFrame(addr), LengthFrame(reading_.second)},
         Command::Data::Fixed,
         reading_.second});
}

void TCPU_CORTEX_FLASH::NextRead() {
  if (nextAt_ >= rangeEnd_) {
    DoneAs = Purpose() == RunPurpose::Read ? RunResult::Read : RunResult::Same;
    ImageWindow = FlashBase; // where what was read lies, for the image that takes it
    Verified = Purpose() == RunPurpose::Compare;
    Enter(CpuState::Done, RunPhase::Begin);
    return;
  }
  const std::uint32_t count =
      std::min((nextAt_ & ~(kMaxBlock - 1)) + kMaxBlock, rangeEnd_) - nextAt_;
  reading_ = {nextAt_, count};
  CurAddr = nextAt_;
  const std::uint32_t addr = FlashBase + nextAt_;
  Start({"Read Memory",
         addr,
         {CommandFrame(Op::ReadMemory), AddressFrame(addr), LengthFrame(count)},
         Command::Data::Fixed,
         count});
}

void TCPU_CORTEX_FLASH::TakeReadData() {
  const auto [at, count] = reading_;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto got = static_cast<std::uint8_t>(data_[i]);
    if (Purpose() == RunPurpose::Read) {
      Buffer[at + i] = got;
    } else if (got != Buffer[at + i]) {
      char text[96];
      std::snprintf(text, sizeof text, "verify: flash differs at 0x%08X (read %02X, expected %02X)",
                    static_cast<unsigned>(FlashBase + at + i), got, Buffer[at + i]);
      Fail(FailReason::VerifyFailed, text);
      return;
    }
  }
  BytesVerified += count;
  nextAt_ += count;
  NextRead();
}

void TCPU_CORTEX_FLASH::Identified(bool readProtected) {
  Identity.push_back({"protection", readProtected
                                        ? "read protection active (the loader refuses reading)"
                                        : "none (the flash can be read)"});
  const auto product = FindProduct(ProductId);
  if (!readProtected && product) {
    RunStage = Stage::FlashSize;
    Start({"Read Memory",
           product->flashSizeAt,
           {CommandFrame(Op::ReadMemory), AddressFrame(product->flashSizeAt), LengthFrame(2)},
           Command::Data::Fixed,
           2});
    return;
  }
  Identity.push_back(
      {"flash", readProtected ? "not readable while protected" : "not known for this product"});
  DoneAs = RunResult::Identified;
  Enter(CpuState::Done, RunPhase::Begin);
}

void TCPU_CORTEX_FLASH::StartGo() {
  RunStage = Stage::Go;
  // The loader takes the stack pointer from the first word at the address and jumps to the
  // second: normally the image's vector table, or where the operator said.
  const std::uint32_t addr =
      Options().startAt ? Options().startAt : FlashBase + (rangeStart_ & ~3u);
  Start({"Go", addr, {CommandFrame(Op::Go), AddressFrame(addr)}});
}

} // namespace vk::cpu
