#include "programmer/Backplane.h"

// On the wire, in text lines (host left, unit right):
//   "OP n"                 ->                 SendSelect
//                          <-  "OK"           AwaitSelected (5 s at most: no module there)
//   "QV550274"             ->
//   115200 bit/s, "OP n"   ->                 ToFastRate, SelectAgain
//                          <-  "OK"           AwaitSelectedAgain (anything else, or nothing
//                                             within 5 s: the run fails, nothing erased)
//   "erase1" / "erase2"    ->                 SendErase (erase2 for images from 0xC000)
//                          <-  "OK"           AwaitErased (2000 ticks at most)
//   "L"                    ->                 ProgramBegin
//   a record               ->                 the shared record loop, records answered by
//                          <-  0x06 / "."     taken: the next record at once
//                          <-  "E" / "R"      the run fails
//                          <-  anything else  the same record again (5 per run)
//   ":00000001FF"          ->
//   "G"                    ->                 ProgramEnd: the module starts its program

#include "link/SerialLink.h"

namespace vk::programmer {

namespace {
constexpr std::uint32_t kFastBaud = 115200;
constexpr std::uint32_t kErase2From = 0xC000;

bool HasOK(const std::string& line) { return line.find("OK") != std::string::npos; }

// An answer as a reason can show it: printable characters as they are, others in hexadecimal.
std::string Shown(const std::string& line) {
  std::string out;
  for (const unsigned char c : line.substr(0, 32)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    }
  }
  return out;
}
} // namespace

void TCPU_BACKPLANE::SelectModule() { Comm->SendString("OP " + std::to_string(ModuleNo) + "\r"); }

void TCPU_BACKPLANE::InitBegin(link::TComm* link, const std::string& param) {
  TCPU::InitBegin(link, param);
  Enter(CpuState::Erase, RunPhase::Begin);
  RetryCount = 0;
}

void TCPU_BACKPLANE::EraseBegin() {
  switch (At<Select>()) {
  case Select::SendSelect:
    Comm->RxLines.Clear();
    SelectModule();
    StartWaiting();
    GoTo(Select::AwaitSelected);
    break;
  case Select::AwaitSelected:
    if (Comm->RxLines.Count() > 0 && HasOK(Comm->RxLines.First())) {
      Comm->RxLines.DeleteFirst();
      Comm->SendString("QV550274\r");
      GoTo(Select::ChooseRate);
    } else if (WaitedLongerThan(kAnswerLimitMs)) {
      // A unit pulled out or an empty slot: the module fails instead of waiting for good.
      Fail(FailReason::ModuleNotFound, "no answer to \"OP " + std::to_string(ModuleNo) + "\"");
    }
    break;
  case Select::ChooseRate:
    Sleep(100);
    GoTo(Comm->GetBaudRate() == kFastBaud ? Select::SelectAgain : Select::ToFastRate);
    break;
  case Select::ToFastRate:
    Comm->SetBaudRate(kFastBaud);
    Sleep(100);
    GoTo(Select::SelectAgain);
    break;
  case Select::SelectAgain:
    Sleep(500);
    Comm->RxLines.Clear();
    SelectModule();
    StartWaiting();
    GoTo(Select::AwaitSelectedAgain);
    break;
  case Select::AwaitSelectedAgain:
    // The erase follows only a module that said it is selected: an "X" or garbage here may
    // mean another module, or none, listens.
    if (Comm->RxLines.Count() > 0) {
      const std::string line = Comm->RxLines.First();
      Comm->RxLines.DeleteFirst();
      if (HasOK(line))
        GoTo(Select::Selected);
      else
        Fail(FailReason::ModuleNotFound, "\"OP " + std::to_string(ModuleNo) + "\" answered \"" +
                                             Shown(line) + "\"; nothing written");
    } else if (WaitedLongerThan(kAnswerLimitMs)) {
      Fail(FailReason::ModuleNotFound,
           "no answer to \"OP " + std::to_string(ModuleNo) + "\" at 115200 bit/s; nothing written");
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
    Comm->RxLines.Clear();
    Comm->SendString(CurAddr < kErase2From ? "erase1\r" : "erase2\r");
    Sleep(100);
    GoTo(Erasing::AwaitErased);
    Counter = 0;
    break;
  case Erasing::AwaitErased:
    if (Comm->RxLines.Count() == 0) {
      if (++Counter > kEraseWaitTicks) Fail(FailReason::EraseFailed, "erase unanswered");
      break;
    }
    {
      const std::string line = Comm->RxLines.First();
      Comm->RxLines.DeleteFirst();
      // Straight to programming: EraseEnd has nothing to do.
      if (HasOK(line)) Enter(CpuState::Program, RunPhase::Begin);
    }
    break;
  }
}

void TCPU_BACKPLANE::ProgramBegin() {
  Comm->RxLines.Clear();
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
                                          kAnswerLimitMs,
                                          /*othersRepeat=*/true,
                                          /*keepAnswer=*/true};
  RecordLoopStep(kRules, RetryCount, [this] {
    if (JumpTable) BuildJumpTable();
    AppendChecksum(static_cast<std::uint32_t>(RegionStart), static_cast<std::uint32_t>(RegionEnd));
    RetryCount = 0;
  });
}

void TCPU_BACKPLANE::ProgramEnd() {
  Comm->RxLines.Clear();
  Comm->SendString("G\r");
  TCPU::ProgramEnd();
}

} // namespace vk::programmer
