#include "cpu/Cortex_M3.h"

#include "link/Communication.h"

#include <cstdio>

namespace vk::cpu {

using programmer::CpuState;
using programmer::TCPU;

namespace {
constexpr std::uint8_t kSync = 0x7F;
constexpr char kAck = 'y';
const std::string kReadCommand("\x11\xEE", 2);
const std::string kBlockLength("\xFF\x00", 2); // 256 bytes - 1, and its complement
} // namespace

std::string TCPU_CORTEX::AddressFrame(std::uint32_t addr) {
  std::string frame;
  std::uint8_t x = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto b = static_cast<std::uint8_t>(addr >> shift);
    frame += static_cast<char>(b);
    x ^= b;
  }
  frame += static_cast<char>(static_cast<std::uint8_t>(~x));
  return frame;
}

void TCPU_CORTEX::InitBegin(link::TComm* link, const std::string& param) {
  TCPU::InitBegin(link, param);
  Comm->SetBaudRate(static_cast<std::uint32_t>(BootBaud));
  Comm->SetParity(kEvenParity);
  Sleep(200);
  SyncStep = 0;
  RetryCount = 0;
  ReadAddr = 0;
  Rereads = 0;
  giveUpReason_ = programmer::FailReason::NoSync;
  giveUpDetail_.clear();
}

void TCPU_CORTEX::GiveUp(programmer::FailReason reason, std::string detail) {
  SyncStep = kGaveUp;
  giveUpReason_ = reason;
  giveUpDetail_ = std::move(detail);
}

std::string TCPU_CORTEX::BlockText() const {
  char text[24];
  std::snprintf(text, sizeof text, "block at 0x%04X", static_cast<unsigned>(ReadAddr));
  return text;
}

void TCPU_CORTEX::InitStep(bool& skipErase) {
  if (SyncStep < kSynchronised)
    SyncTick();
  else if (SyncStep == kGaveUp)
    Fail(giveUpReason_, giveUpDetail_);
  else
    BlockCheckTick(skipErase);
}

void TCPU_CORTEX::EraseBegin() {
  if (SyncStep < kSynchronised) {
    SyncTick();
  } else if (SyncStep == kGaveUp) {
    Fail(giveUpReason_, giveUpDetail_);
  } else {
    Phase = 1;
    Step = 0;
  }
}

void TCPU_CORTEX::ProgramBegin() { EraseBegin(); }

void TCPU_CORTEX::Finish() {
  Comm->SetBaudRate(kNormalBaud);
  Comm->SetParity(0);
  Comm->SetRawMode(false);
  Sleep(200);
  TCPU::Finish();
}

bool TCPU_CORTEX::Acknowledged() const {
  return Comm->RxLines.First().find(kAck) != std::string::npos;
}

void TCPU_CORTEX::SyncTick() {
  switch (SyncStep) {
  case 0:
    Comm->SetRawMode(true);
    Comm->RxLines.Clear();
    Comm->SendChar(kSync);
    TryCount = 0;
    SyncStep = 1;
    break;
  case 1:
    if (Acknowledged()) {
      TryCount = 0;
      SyncStep = 2;
      Comm->RxLines.DeleteFirst();
    } else if (++TryCount > kSyncTicks) {
      if (RetryCount >= kSyncRetries) {
        // Within a check, the reason of the resynchronisation stands.
        if (giveUpDetail_.empty())
          GiveUp(programmer::FailReason::NoSync, "");
        else
          SyncStep = kGaveUp;
      } else {
        ++RetryCount;
        SyncStep = 0;
      }
    }
    break;
  case 2:
    Comm->RxLines.Clear();
    SyncStep = kSynchronised;
    break;
  default:
    break;
  }
}

// Synchronising again keeps Step: the check goes on waiting where it was.
void TCPU_CORTEX::NoAnswer() {
  if (++TryCount <= kAnswerTicks) return;
  giveUpReason_ = programmer::FailReason::RecordUnanswered;
  giveUpDetail_ = BlockText() + " unanswered";
  if (RetryCount >= kResyncs) {
    SyncStep = kGaveUp;
  } else {
    ++RetryCount;
    SyncStep = 0;
  }
}

void TCPU_CORTEX::BlockCheckTick(bool& skipErase) {
  auto& rx = Comm->RxLines;
  switch (Step) {
  case 0:
    Comm->SendString(kReadCommand);
    Step = 1;
    break;
  case 1:
    if (!Acknowledged()) return NoAnswer();
    TryCount = 0;
    Step = 2;
    Comm->SendString(AddressFrame(ReadAddr));
    rx.DeleteFirst();
    break;
  case 2:
    if (!Acknowledged()) return NoAnswer();
    TryCount = 0;
    Step = 3;
    Comm->SendString(kBlockLength);
    rx.DeleteFirst();
    break;
  case 3: {
    if (!Acknowledged()) return NoAnswer();
    TryCount = 0;
    Check = 0;
    Counter = 0;
    Step = 4;
    const std::string entry = rx.First();
    rx.DeleteFirst();
    // A prompt loader sends the block right behind the "y": those bytes are its first.
    const std::string rest = entry.substr(entry.find(kAck) + 1);
    if (!rest.empty()) TakeBlockBytes(rest);
    break;
  }
  case 4: {
    if (rx.Count() == 0) return NoAnswer();
    const std::string entry = rx.First();
    rx.DeleteFirst();
    TakeBlockBytes(entry);
    break;
  }
  case 5:
    Check = 0xFF;
    for (const auto b : BlockData) Check &= b;
    if (Check != 0xFF) {
      Step = 7;
    } else if (ReadAddr >= kLastBlock) {
      Step = 6;
    } else {
      ReadAddr += kBlockSize;
      Step = 0;
    }
    break;
  case 6: // blank: no erase needed
    DoneAs = programmer::RunResult::Blank;
    skipErase = true;
    State = CpuState::Program;
    Phase = 1;
    break;
  case 7: // not blank
    DoneAs = programmer::RunResult::NotBlank;
    skipErase = false;
    State = CpuState::Erase;
    Phase = 1;
    break;
  default:
    break;
  }
}

void TCPU_CORTEX::TakeBlockBytes(const std::string& bytes) {
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (Counter < static_cast<std::int32_t>(kBlockSize)) {
      BlockData[static_cast<std::size_t>(Counter)] = b;
      Check ^= b;
      ++Counter;
      TryCount = 0;
      continue;
    }
    // The check byte; anything behind it in this entry is dropped.
    Check ^= b;
    if (Check == 0) {
      Rereads = 0;
      Step = 5;
    } else if (++Rereads > kMaxRereads) {
      // A line that spoils every read of a block would otherwise keep the run going for good.
      GiveUp(programmer::FailReason::Garbled,
             BlockText() + " read with a wrong check byte " + std::to_string(Rereads) + " times");
    } else {
      Step = 0;
    }
    return;
  }
}

} // namespace vk::cpu
