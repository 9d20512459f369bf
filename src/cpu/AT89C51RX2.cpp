#include "cpu/AT89C51RX2.h"

// On the wire (host left, loader right), in characters and lines:
//   "U"                   ->                 SendU
//                         <-  "U"            AwaitEcho          6 ticks, then "U" again
//   carriage return       ->                                    (21 "U" at most)
//   ":0100000212EB"       ->                 SendOscillator     P89C51RX2 only
//                         <-  "."            AwaitOscillatorOk  6 ticks, then again
//   ":0100000307F5"       ->                 SendErase          when the run erases
//                         <-  "."            AwaitErased        5 ticks, then again; at the
//                                                               end the run fails; once the
//                                                               echo came, 10 s (the chip
//                                                               erase takes about 6 s)
// then the image in the shared record loop:
//   a record              ->
//                         <-  0x06 / "."     taken: the next record at once
//                         <-  "X"            the same record again (5 per run)
//                         <-  "L" / "R"      the run fails (the P89C51RX2: "R" only)
//   ":00000001FF"         ->
// (the AT89C51RX2 sends the blank blocks of the range as well: no erase, so they must be
// written) then reads back what it wrote, 1 KiB at most per command:
//   ":05000004SSSSEEEE00CC" ->               SendDisplay
//                         <-  "SSSS=<hex>"   AwaitData          16 bytes a line, each line
//                             ...                               compared; 5 s without a line
//                         <-  "X" / "L" / "R"                   again (5 per run) / fails
//   closing commands      ->                 SendFirst
//                         <-  "."            AwaitOk            each in turn; 500 ticks at most

#include "image/HexDigits.h"
#include "link/ProtocolLink.h"
#include "protocol/ImagePrep.h"
#include "protocol/RunOutcome.h"

#include <algorithm>
#include <cstdio>

namespace vk::cpu {

namespace {

using programmer::CpuState;
using programmer::RecordStep;
using programmer::RunPhase;

bool Contains(const std::string& line, char c) { return line.find(c) != std::string::npos; }

// The closing commands that are in use, in order.
int ClosingCount(const Isp8051Variant& v) {
  int n = 0;
  for (const auto& command : v.closing)
    if (!command.empty()) ++n;
  return n;
}

} // namespace

const Isp8051Variant TCPU_AT89C51RX2::kVariant = {
    /*initBaud=*/0,
    /*sendsOscillator=*/false,
    /*fatal=*/"LR",
    /*closing=*/{":03000003060000F4", ""},
    /*finishBaud=*/0,
    /*readsBack=*/true,
    /*writesBlankBlocks=*/true,
};

TCPU_AT89C51RX2::TCPU_AT89C51RX2(platform::IEventLoop& loop) : TCPU_ISP8051(loop, kVariant) {}

TCPU_ISP8051::TCPU_ISP8051(platform::IEventLoop& loop, const Isp8051Variant& variant)
    : RecordLoader(loop), variant_(variant) {}

void TCPU_ISP8051::InitBegin(link::IProtocolLink* link, const std::string& param) {
  RecordLoader::InitBegin(link, param);
  if (variant_.initBaud != 0) Comm->SetBaudRate(variant_.initBaud);
  SyncStep = Sync::SendU;
  inSync_ = false;
  LoaderRepeats = 0;
  ReadStep = Reading::SendDisplay;
  ReadRepeats = 0;
  readBack_ = false;
  toRead_.clear();
  rangeAt_ = 0;
  // Reading and comparing leave the flash as it is.
  const bool erases = EraseFirst && Purpose() == programmer::RunPurpose::Program;
  Enter(erases ? CpuState::Erase : CpuState::Program, RunPhase::Begin);
}

void TCPU_ISP8051::SyncTick() {
  // An attempt without the answer: "U" or the oscillator command again, or give up.
  auto noAnswer = [this](Sync again) {
    switch (Unanswered(TryCount, kTiming.syncQuietPolls, LoaderRepeats, kMaxSyncRetries)) {
    case Patience::Wait:
      break;
    case Patience::Retry:
      SyncStep = again;
      break;
    case Patience::GiveUp:
      Fail(programmer::FailReason::NoSync);
      break;
    }
  };
  switch (SyncStep.Is()) {
  case Sync::SendU:
    Comm->DropAnswers();
    Comm->SendString(std::string(kSync));
    TryCount = 0;
    SyncStep = Sync::AwaitEcho;
    break;
  case Sync::AwaitEcho:
    if (Contains(Comm->PeekAnswer(), 'U')) {
      TryCount = 0;
      Comm->SendChar(0x0D);
      if (variant_.sendsOscillator) {
        Comm->DropAnswer();
        PauseThen(kTiming.afterEchoMs);
        SyncStep = Sync::SendOscillator;
      } else {
        PauseThen(kTiming.afterEchoMs, [this] { Comm->DropAnswers(); });
        SyncStep = Sync::Settle;
      }
    } else {
      noAnswer(Sync::SendU);
    }
    break;
  case Sync::SendOscillator:
    Comm->DropAnswers();
    Comm->SendString(std::string(kOscillator));
    // Every sending of the command gets its own six ticks, as every "U" does; counting on from
    // the previous attempt would send it again at each tick without giving the chip time.
    TryCount = 0;
    SyncStep = Sync::AwaitOscillatorOk;
    break;
  case Sync::AwaitOscillatorOk:
    if (!Comm->AnswerWaiting()) {
      noAnswer(Sync::SendOscillator);
    } else if (Contains(Comm->PeekAnswer(), '.')) {
      TryCount = 0;
      Comm->DropAnswer();
      SyncStep = Sync::Settle;
    }
    // A line without "." stays; the link removes it after delivering it.
    break;
  case Sync::Settle:
    Comm->DropAnswers();
    inSync_ = true;
    break;
  }
}

bool TCPU_ISP8051::LoaderListens() {
  if (inSync_) return true;
  SyncTick();
  return false;
}

void TCPU_ISP8051::EraseBegin() {
  if (LoaderListens()) Enter(State, RunPhase::Step);
}

void TCPU_ISP8051::EraseStep() {
  switch (At<Erasing>()) {
  case Erasing::SendErase:
    Comm->DropAnswers();
    Comm->SendString(std::string(kEraseCommand));
    TryCount = 0;
    eraseHeard_ = false;
    GoTo(Erasing::AwaitErased);
    break;
  case Erasing::AwaitErased:
    if (!Comm->AnswerWaiting() && eraseHeard_) {
      // The loader echoed the command and erases: its "." comes when the chip is blank.
      if (WaitedLongerThan(kTiming.eraseLimitMs))
        Fail(programmer::FailReason::EraseFailed, "the chip erase was not acknowledged within " +
                                                      std::to_string(kTiming.eraseLimitMs / 1000) +
                                                      " s; nothing was written");
    } else if (!Comm->AnswerWaiting()) {
      // Unanswered to the end, the chip may hold anything: records over it would be refused at
      // best, and an erase-only run would report an erase that never happened.
      const Patience next =
          Unanswered(TryCount, kTiming.eraseQuietPolls, LoaderRepeats, kMaxEraseRetries);
      if (next == Patience::Retry) GoTo(Erasing::SendErase);
      if (next == Patience::GiveUp)
        Fail(programmer::FailReason::EraseFailed,
             "the erase command was not acknowledged; nothing was written");
    } else if (Contains(Comm->PeekAnswer(), '.')) {
      TryCount = 0;
      GoTo(Erasing::Erased);
      Comm->DropAnswer();
    } else {
      // The echo of the command (the loader heard it), or noise: either way no "." yet.
      if (!eraseHeard_) StartWaiting();
      eraseHeard_ = true;
      Comm->DropAnswer();
    }
    break;
  case Erasing::Erased:
    Enter(State, RunPhase::End);
    Comm->DropAnswers();
    break;
  }
}

void TCPU_ISP8051::ProgramBegin() {
  if (!LoaderListens()) return;
  infoAt_ = 0;
  infoSent_ = false;
  if (variant_.readsBack) PlanReading();
  Enter(State, RunPhase::Step);
}

void TCPU_ISP8051::PlanReading() {
  toRead_.clear();
  rangeAt_ = 0;
  const auto add = [this](std::uint32_t from, std::uint32_t end) {
    if (!toRead_.empty() && toRead_.back().second == from)
      toRead_.back().second = end;
    else
      toRead_.emplace_back(from, end);
  };
  const std::uint32_t end = std::min(EndAddr, programmer::kImageSize);
  if (Purpose() != programmer::RunPurpose::Program) {
    // Compared, a blank stretch of the image must be blank on the chip as well.
    if (CurAddr < end) add(CurAddr, end);
  } else {
    // The blocks SendNextRecord sends: from CurAddr on, whole (the last one may reach past the
    // image's end), blank ones left out unless the variant writes them.
    const std::uint32_t block =
        Setup().blockSize > 0 ? static_cast<std::uint32_t>(Setup().blockSize) : 1;
    for (std::uint32_t at = CurAddr; at < end; at += block) {
      const std::uint32_t blockEnd = std::min(at + block, programmer::kImageSize);
      if (variant_.writesBlankBlocks ||
          std::any_of(Buffer + at, Buffer + blockEnd, [](std::uint8_t b) { return b != 0xFF; }))
        add(at, blockEnd);
    }
  }
  if (!toRead_.empty()) readAt_ = toRead_.front().first;
}

std::string TCPU_ISP8051::DisplayCommand(std::uint32_t first, std::uint32_t last,
                                         std::uint8_t function) {
  const std::uint8_t bytes[] = {0x05,
                                0x00,
                                0x00,
                                0x04,
                                static_cast<std::uint8_t>(first >> 8),
                                static_cast<std::uint8_t>(first),
                                static_cast<std::uint8_t>(last >> 8),
                                static_cast<std::uint8_t>(last),
                                function};
  std::string text = ":";
  std::uint8_t sum = 0;
  char digits[4];
  for (const std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
    sum = static_cast<std::uint8_t>(sum + b);
  }
  std::snprintf(digits, sizeof digits, "%02X", static_cast<std::uint8_t>(-sum));
  return text + digits;
}

bool TCPU_ISP8051::TakeDisplayedHex(const std::string& text, std::size_t from) {
  using programmer::FailReason;
  using programmer::HexDigits;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    if (image::hex::DigitValue(text[i]) < 0) break;
    hexCarry_ += text[i];
    if (hexCarry_.size() < 2) continue;
    const auto value = static_cast<std::uint8_t>(image::hex::DigitValue(hexCarry_[0]) << 4 |
                                                 image::hex::DigitValue(hexCarry_[1]));
    hexCarry_.clear();
    const std::uint32_t at = readAt_ + received_;
    if (at >= pieceEnd_) break;
    if (Purpose() == programmer::RunPurpose::Read) {
      Buffer[at] = value;
    } else if (value != Buffer[at]) {
      Fail(FailReason::VerifyFailed, "verify: flash differs at 0x" + HexDigits(at, 4) + " (read " +
                                         HexDigits(value, 2) + ", expected " +
                                         HexDigits(Buffer[at], 2) + ")");
      return false;
    }
    ++received_;
  }
  return true;
}

void TCPU_ISP8051::TakeDisplayLine(const std::string& line) {
  using programmer::FailReason;
  using programmer::HexDigits;
  const auto allHex = [](const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
      return image::hex::DigitValue(c) >= 0 || c == ' ';
    });
  };
  const auto eq = line.find('=');
  if (eq == std::string::npos || eq < 4) {
    // A line cut in two by a pause on the wire goes on in the next entry.
    if (allHex(line) && (received_ > 0 || !hexCarry_.empty())) {
      TakeDisplayedHex(line, 0);
      StartWaiting();
      return;
    }
    // No data: the echo of the command, a stray "." - or the loader's refusal, which follows
    // the echo on its line (hexadecimal digits never hold these letters).
    const std::string piece = HexDigits(readAt_, 4) + "-" + HexDigits(pieceEnd_ - 1, 4);
    if (line.find('L') != std::string::npos) {
      if (Purpose() == programmer::RunPurpose::Program)
        Fail(FailReason::VerifyFailed,
             "verify: the chip refuses to be read (L: security bits set); written, not verified");
      else
        Fail(FailReason::ReadProtected, "the security bits forbid reading (L); nothing written");
    } else if (line.find('R') != std::string::npos) {
      Fail(FailReason::CommandRefused, "display of " + piece + " refused (R)");
    } else if (line.find('X') != std::string::npos) {
      if (AnotherAttempt(ReadRepeats, kMaxReadRetries))
        ReadStep = Reading::SendDisplay;
      else
        Fail(FailReason::Garbled, "display of " + piece + " refused (X) too often");
    }
    return;
  }
  // The tail of a cut line may stand before the next line's address.
  const std::string before = line.substr(0, eq - 4);
  if (allHex(before) && !TakeDisplayedHex(before, 0)) return;
  std::uint32_t address = 0;
  bool readable = hexCarry_.empty();
  for (std::size_t i = eq - 4; i < eq; ++i) {
    const int d = image::hex::DigitValue(line[i]);
    readable = readable && d >= 0;
    address = address << 4 | static_cast<std::uint32_t>(std::max(d, 0));
  }
  // Lines come in order; one for another address is a garbled answer: the piece again.
  if (!readable || address != readAt_ + received_) {
    hexCarry_.clear();
    if (AnotherAttempt(ReadRepeats, kMaxReadRetries))
      ReadStep = Reading::SendDisplay;
    else
      Fail(FailReason::Garbled,
           "display answers garbled at 0x" + HexDigits(readAt_ + received_, 4));
    return;
  }
  if (TakeDisplayedHex(line, eq + 1)) StartWaiting(); // each line restarts the time limit
}

bool TCPU_ISP8051::ReadTick() {
  using programmer::FailReason;
  switch (ReadStep.Is()) {
  case Reading::SendDisplay: {
    if (rangeAt_ >= toRead_.size()) return true;
    const auto [from, end] = toRead_[rangeAt_];
    if (readAt_ < from) readAt_ = from;
    pieceEnd_ = std::min(end, readAt_ + kMaxDisplayBytes);
    received_ = 0;
    hexCarry_.clear();
    Comm->DropAnswers();
    Comm->SendString(DisplayCommand(readAt_, pieceEnd_ - 1));
    StartWaiting();
    ReadStep = Reading::AwaitData;
    return false;
  }
  case Reading::AwaitData:
    while (State != CpuState::Failed && ReadStep == Reading::AwaitData && Comm->AnswerWaiting())
      TakeDisplayLine(Comm->TakeAnswer().value_or(""));
    if (State == CpuState::Failed || ReadStep != Reading::AwaitData) return false;
    if (readAt_ + received_ >= pieceEnd_) {
      BytesVerified += pieceEnd_ - readAt_;
      readAt_ = pieceEnd_;
      if (Purpose() == programmer::RunPurpose::Read) CurAddr = readAt_; // the progress bar
      if (readAt_ >= toRead_[rangeAt_].second && ++rangeAt_ < toRead_.size())
        readAt_ = toRead_[rangeAt_].first;
      ReadStep = Reading::SendDisplay;
      return rangeAt_ >= toRead_.size();
    }
    if (WaitedLongerThan(kAnswerLimitMs)) {
      const std::string what = "reading 0x" + programmer::HexDigits(readAt_ + received_, 4);
      if (Comm->IsOpen())
        Fail(FailReason::RecordUnanswered, what + ": unanswered");
      else
        Fail(FailReason::LinkLost, what + ": unanswered: the link went away");
    }
    return false;
  }
  return false;
}

void TCPU_ISP8051::ProgramStep() {
  if (Purpose() == programmer::RunPurpose::Identify) {
    if (IdentifyTick()) Enter(State, RunPhase::End);
    return;
  }
  if (Purpose() != programmer::RunPurpose::Program) {
    if (ReadTick()) Enter(State, RunPhase::End);
    return;
  }
  RecordLoopRules rules{"\x06.", variant_.fatal, "X", /*clearBeforeSend=*/false, kMaxRecordRetries};
  rules.echoesRecords = true;
  rules.sendsBlankBlocks = variant_.writesBlankBlocks;
  RecordLoopStep(rules, RecordRepeats, [this] {
    Comm->DropAnswers();
    RecordRepeats = 0;
  });
}

// Each closing command in turn, each acknowledged by "."; after the last the run is done.
void TCPU_ISP8051::ProgramEnd() {
  if (Purpose() != programmer::RunPurpose::Program) {
    // Nothing written: the closing commands (which make the chip start its program) stay
    // unsent, the chip is left as it was found.
    Verified = Purpose() == programmer::RunPurpose::Compare && !toRead_.empty();
    DoneAs = Purpose() == programmer::RunPurpose::Read       ? programmer::RunResult::Read
             : Purpose() == programmer::RunPurpose::Identify ? programmer::RunResult::Identified
                                                             : programmer::RunResult::Same;
    RecordLoader::ProgramEnd();
    return;
  }
  // What was written is read back before the closing command lets the chip start it.
  if (variant_.readsBack && !readBack_) {
    if (!ReadTick()) return;
    readBack_ = true;
    Verified = !toRead_.empty();
    Resets();
    return;
  }
  const int count = ClosingCount(variant_);
  switch (At<Closing>()) {
  case Closing::SendFirst:
    Comm->DropAnswers();
    if (count == 0) {
      RecordLoader::ProgramEnd();
      return;
    }
    Comm->SendString(std::string(variant_.closing[0]));
    ClosingSent = 1;
    GoTo(Closing::AwaitOk);
    Counter = 0;
    return;
  case Closing::AwaitOk:
    if (Comm->AnswerWaiting() && Contains(Comm->PeekAnswer(), '.')) {
      Comm->DropAnswer();
      if (ClosingSent >= count) {
        RecordLoader::ProgramEnd();
      } else {
        Comm->SendString(std::string(variant_.closing[static_cast<std::size_t>(ClosingSent)]));
        ++ClosingSent;
        Counter = 0;
      }
      return;
    }
    if (++Counter > kTiming.closingQuietPolls)
      Fail(programmer::FailReason::RecordUnanswered,
           "closing command " + std::to_string(ClosingSent) + " unanswered");
    return;
  }
}

void TCPU_ISP8051::Finish() {
  RecordLoader::Finish();
  SyncStep = Sync::SendU;
  inSync_ = false;
  if (variant_.finishBaud != 0 && Comm) Comm->SetBaudRate(variant_.finishBaud);
}

} // namespace vk::cpu
