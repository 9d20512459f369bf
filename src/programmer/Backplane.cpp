#include "programmer/Backplane.h"

// On the wire, in text lines (host left, unit right):
//   "OP n"                 ->                 SendSelect
//                          <-  "OK"           AwaitSelected (5 s at most: no module there)
//   "QV550274"             ->
//   115200 bit/s, "OP n"   ->                 ToFastRate, SelectAgain
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
    SelectModule();
    Sleep(100);
    Comm->RxLines.Clear();
    GoTo(Select::Selected);
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
