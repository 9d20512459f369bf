#include "cpu/Backplane.h"

// On the wire, in text lines (host left, unit right):
//   "OP n"                 ->                 SendSelect
//                          <-  "OK"           AwaitSelected (5 s at most: no module there;
//                                             anything else is left unread)
//   "QV550274"             ->
//   115200 bit/s, "OP n"   ->                 ToFastRate, SelectAgain
//                          <-  "OK"           AwaitSelectedAgain (anything else, or nothing
//                                             within 5 s: the run fails, nothing erased)
//   "erase1" / "erase2"    ->                 SendErase (erase2 for images from 0xC000)
//                          <-  "OK"           AwaitErased (anything else fails the run at
//                                             once, nothing within 20 s too)
//   "L"                    ->                 ProgramBegin
//   a record               ->                 the shared record loop, records answered by
//                          <-  0x06 / "."     taken: the next record at once
//                          <-  "E" / "R"      the run fails
//                          <-  anything else  the same record again (5 per run)
//   ":00000001FF"          ->
//   "G"                    ->                 ProgramEnd: the module starts its program

#include "cpu/ProgrammerUnit.h"
#include "link/ProtocolLink.h"
#include "platform/Hex.h"

namespace vk::programmer {

namespace {
constexpr std::uint32_t kFastBaud = 115200;

// An answer as a reason can show it: printable characters as they are, others in hexadecimal.
std::string Shown(const std::string& line) {
  std::string out;
  for (const unsigned char c : line.substr(0, 32)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      platform::AppendHexByte(out, c);
    }
  }
  return out;
}
} // namespace

std::string TCPU_BACKPLANE::PartialEraseWarning(std::uint32_t imageStart,
                                                std::uint32_t regionStart) {
  if (imageStart < kUpperEraseFrom || regionStart >= kUpperEraseFrom) return "";
  const std::string kept = HexDigits(regionStart, 4) + "-" + HexDigits(kUpperEraseFrom - 1, 4);
  return "\"erase2\" keeps " + kept + " as it was, and the checksum word counts " + kept +
         " as blank: the module's sum holds only if nothing is there";
}

void TCPU_BACKPLANE::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  Enter(CpuState::Erase, RunPhase::Begin);
  RetryCount = 0;
}

void TCPU_BACKPLANE::SelectModule() {
  Comm->DropAnswers();
  ProgrammerUnit(*Comm).Select(Setup().moduleAddress);
  StartWaiting();
}

std::string TCPU_BACKPLANE::NoAnswerTo() const {
  return "no answer to \"" + ProgrammerUnit::SelectCommand(Setup().moduleAddress) + "\"";
}

void TCPU_BACKPLANE::EraseBegin() {
  switch (At<Select>()) {
  case Select::SendSelect:
    SelectModule();
    GoTo(Select::AwaitSelected);
    break;
  case Select::AwaitSelected:
    // Anything but "OK" is left to the delivery that brought it.
    if (Comm->AnswerWaiting() && ProgrammerUnit::IsOk(Comm->PeekAnswer())) {
      Comm->DropAnswer();
      ProgrammerUnit(*Comm).SendHostKey();
      GoTo(Select::ChooseRate);
    } else if (WaitedLongerThan(kTiming.answerLimitMs)) {
      // A unit pulled out or an empty slot: the module fails instead of waiting for good.
      Fail(FailReason::ModuleNotFound, NoAnswerTo());
    }
    break;
  case Select::ChooseRate:
    PauseThen(kTiming.afterHostKeyMs, [this] {
      GoTo(Comm->GetBaudRate() == kFastBaud ? Select::SelectAgain : Select::ToFastRate);
    });
    break;
  case Select::ToFastRate:
    Comm->SetBaudRate(kFastBaud);
    GoTo(Select::SelectAgain);
    PauseThen(kTiming.afterRateChangeMs);
    break;
  case Select::SelectAgain:
    PauseThen(kTiming.beforeSelectAgainMs, [this] {
      SelectModule();
      GoTo(Select::AwaitSelectedAgain);
    });
    break;
  case Select::AwaitSelectedAgain:
    // The erase follows only a module that said it is selected: an "X" or garbage here may
    // mean another module, or none, listens.
    if (const auto line = Comm->TakeAnswer()) {
      if (ProgrammerUnit::IsOk(*line))
        GoTo(Select::Selected);
      else
        Fail(FailReason::ModuleNotFound,
             "\"" + ProgrammerUnit::SelectCommand(Setup().moduleAddress) + "\" answered \"" +
                 Shown(*line) + "\"; nothing written");
    } else if (WaitedLongerThan(kTiming.answerLimitMs)) {
      Fail(FailReason::ModuleNotFound, NoAnswerTo() + " at 115200 bit/s; nothing written");
    }
    break;
  case Select::Selected:
    Enter(State, RunPhase::Step);
    break;
  }
}

void TCPU_BACKPLANE::EraseStep() {
  switch (At<Erasing>()) {
  case Erasing::SendErase:
    Comm->DropAnswers();
    Comm->SendString(CurAddr < kUpperEraseFrom ? "erase1\r" : "erase2\r");
    // The unit cannot be read back: what the partial erase keeps is said, never assumed blank.
    if (const std::string warning =
            PartialEraseWarning(CurAddr, static_cast<std::uint32_t>(Setup().regionStart));
        !warning.empty() && OnLog)
      OnLog("warning: " + warning);
    GoTo(Erasing::AwaitErased);
    PauseThen(kTiming.afterEraseMs, [this] { StartWaiting(); });
    break;
  case Erasing::AwaitErased:
    if (const auto line = Comm->TakeAnswer()) {
      // Straight to programming: EraseEnd has nothing to do. Any other answer ("X", noise) is
      // the unit's last word on the erase: waiting on would only end in "unanswered".
      if (ProgrammerUnit::IsOk(*line))
        Enter(CpuState::Program, RunPhase::Begin);
      else if (!line->empty())
        Fail(FailReason::EraseFailed,
             std::string("erase refused: \"") + (CurAddr < kUpperEraseFrom ? "erase1" : "erase2") +
                 "\" answered \"" + Shown(*line) + "\", not \"OK\"; nothing programmed");
    } else if (WaitedLongerThan(kTiming.eraseLimitMs)) {
      Fail(FailReason::EraseFailed, "erase unanswered");
    }
    break;
  }
}

void TCPU_BACKPLANE::ProgramBegin() {
  Comm->DropAnswers();
  Comm->SendString("L\r");
  Enter(State, RunPhase::Step);
}

void TCPU_BACKPLANE::ProgramStep() {
  // The unit's line stays in the list for the link to remove, and whatever it says that is
  // neither a yes nor a fatal letter asks for the record again.
  static constexpr RecordLoopRules kRules{"\x06.",
                                          "ER",
                                          "",
                                          /*clearBeforeSend=*/true,
                                          kMaxRetries,
                                          kTiming.answerLimitMs,
                                          /*othersRepeat=*/true,
                                          /*keepAnswer=*/true};
  RecordLoopStep(kRules, RetryCount, [this] {
    if (Setup().jumpTable) BuildJumpTable();
    AppendChecksum(static_cast<std::uint32_t>(Setup().regionStart),
                   static_cast<std::uint32_t>(Setup().regionEnd));
    RetryCount = 0;
  });
}

void TCPU_BACKPLANE::ProgramEnd() {
  Comm->DropAnswers();
  Comm->SendString("G\r");
  ProtocolBase::ProgramEnd();
}

} // namespace vk::programmer
