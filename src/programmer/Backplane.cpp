#include "programmer/Backplane.h"

#include "link/Communication.h"

namespace vk::programmer {

namespace {
constexpr std::uint32_t kFastBaud = 115200;
constexpr std::uint32_t kErase2From = 0xC000;

bool HasOK(const std::string& line) { return line.find("OK") != std::string::npos; }
} // namespace

void TCPU_BACKPLANE::SelectModule() { Comm->SendString("OP " + std::to_string(ModuleNo) + "\r"); }

void TCPU_BACKPLANE::InitBegin(link::TComm* link, const std::string& param) {
  TCPU::InitBegin(link, param);
  Enter(CpuState::Erase, 0);
  RetryCount = 0;
}

void TCPU_BACKPLANE::EraseBegin() {
  switch (Step) {
  case 0:
    Comm->RxLines.Clear();
    SelectModule();
    StartWaiting();
    Step = 1;
    break;
  case 1:
    if (Comm->RxLines.Count() > 0 && HasOK(Comm->RxLines.First())) {
      Comm->RxLines.DeleteFirst();
      Comm->SendString("QV550274\r");
      Step = 2;
    } else if (WaitedLongerThan(kAnswerLimitMs)) {
      // A unit pulled out or an empty slot: the module fails instead of waiting for good.
      Fail(FailReason::ModuleNotFound, "no answer to \"OP " + std::to_string(ModuleNo) + "\"");
    }
    break;
  case 2:
    Sleep(100);
    Step = Comm->GetBaudRate() == kFastBaud ? 4 : 3;
    break;
  case 3:
    Comm->SetBaudRate(kFastBaud);
    Sleep(100);
    Step = 4;
    break;
  case 4:
    Sleep(500);
    SelectModule();
    Sleep(100);
    Comm->RxLines.Clear();
    Step = 5;
    break;
  case 5:
    Phase = 1;
    Step = 0;
    break;
  default:
    break;
  }
}

void TCPU_BACKPLANE::EraseStep() {
  switch (Step) {
  case 0:
    Comm->RxLines.Clear();
    Comm->SendString(CurAddr < kErase2From ? "erase1\r" : "erase2\r");
    Sleep(100);
    Step = 1;
    Counter = 0;
    break;
  case 1:
    if (Comm->RxLines.Count() == 0) {
      if (++Counter > kEraseWaitTicks) Fail(FailReason::EraseFailed, "erase unanswered");
      break;
    }
    {
      const std::string line = Comm->RxLines.First();
      Comm->RxLines.DeleteFirst();
      if (HasOK(line)) {
        State = CpuState::Program;
        Phase = 1;
        Step = 0;
      }
    }
    break;
  default:
    break;
  }
}

void TCPU_BACKPLANE::ProgramStep() {
  switch (Step) {
  case 0:
    Comm->RxLines.Clear();
    Comm->SendString("L\r");
    Step = 1;
    Counter = 0;
    break;
  case 1:
    if (JumpTable) BuildJumpTable();
    AppendChecksum(static_cast<std::uint32_t>(RegionStart), static_cast<std::uint32_t>(RegionEnd));
    Step = 2;
    RetryCount = 0;
    break;
  case 2:
    SendRecord();
    break;
  case 3: {
    if (Comm->RxLines.Count() == 0) {
      if (WaitedLongerThan(kAnswerLimitMs))
        Fail(FailReason::RecordUnanswered, RecordDetail("unanswered"));
      break;
    }
    // The entry stays in the list; the link removes it after delivering it.
    const std::string answer = Comm->RxLines.First();
    Step = 3;
    for (const char c : answer) {
      if (c == 0x06 || c == '.') {
        Step = 2;
      } else if (c == 'E' || c == 'R') {
        Step = 5;
        refusedWith_ = c;
      } else {
        Step = 6;
        refusedWith_ = c;
      }
    }
    // The next record goes at once rather than at the next tick.
    if (Step == 2) SendRecord();
    break;
  }
  case 4:
    Enter(State, 2);
    break;
  case 5:
    Fail(FailReason::RecordRefused, RefusalDetail());
    break;
  case 6:
    if (RetryCount >= kMaxRetries) {
      Step = 5;
    } else {
      ++RetryCount;
      CurAddr -= static_cast<std::uint32_t>(BlockSize);
      Step = 2;
    }
    break;
  default:
    Step = 0;
    break;
  }
}

void TCPU_BACKPLANE::SendRecord() {
  Comm->RxLines.Clear();
  Step = SendNextRecord() ? 3 : 4;
  StartWaiting();
}

void TCPU_BACKPLANE::ProgramEnd() {
  Comm->RxLines.Clear();
  Comm->SendString("G\r");
  TCPU::ProgramEnd();
}

} // namespace vk::programmer
