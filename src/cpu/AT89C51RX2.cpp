#include "cpu/AT89C51RX2.h"

#include "link/Communication.h"

namespace vk::cpu {

namespace {

using programmer::CpuState;

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
};

TCPU_AT89C51RX2::TCPU_AT89C51RX2(platform::IEventLoop& loop) : TCPU_ISP8051(loop, kVariant) {}

TCPU_ISP8051::TCPU_ISP8051(platform::IEventLoop& loop, const Isp8051Variant& variant)
    : TCPU(loop), variant_(variant) {}

void TCPU_ISP8051::InitBegin(link::TComm* link, const std::string& param) {
  TCPU::InitBegin(link, param);
  if (variant_.initBaud != 0) Comm->SetBaudRate(variant_.initBaud);
  SyncStep = 0;
  RetryCount = 0;
  Enter(EraseFirst ? CpuState::Erase : CpuState::Program, 0);
}

void TCPU_ISP8051::SyncTick() {
  auto& rx = Comm->RxLines;
  switch (SyncStep) {
  case 0:
    rx.Clear();
    Comm->SendString(std::string(kSync));
    TryCount = 0;
    SyncStep = 1;
    break;
  case 1:
    if (Contains(rx.First(), 'U')) {
      TryCount = 0;
      Comm->SendChar(0x0D);
      if (variant_.sendsOscillator) {
        rx.DeleteFirst();
        Sleep(100);
        SyncStep = 2;
      } else {
        Sleep(100);
        rx.Clear();
        SyncStep = 4;
      }
    } else if (++TryCount >= kSyncWaitTicks) {
      if (RetryCount >= kMaxSyncRetries) {
        SyncStep = kGaveUp;
      } else {
        ++RetryCount;
        SyncStep = 0;
      }
    }
    break;
  case 2:
    rx.Clear();
    Comm->SendString(std::string(kOscillator));
    // Every sending of the command gets its own six ticks, as every "U" does; counting on from
    // the previous attempt would send it again at each tick without giving the chip time.
    TryCount = 0;
    SyncStep = 3;
    break;
  case 3:
    if (rx.Count() == 0) {
      if (++TryCount >= kSyncWaitTicks) {
        if (RetryCount >= kMaxSyncRetries) {
          SyncStep = kGaveUp;
        } else {
          ++RetryCount;
          SyncStep = 2;
        }
      }
    } else if (Contains(rx.First(), '.')) {
      TryCount = 0;
      rx.DeleteFirst();
      SyncStep = 4;
    }
    // A line without "." stays; the link removes it after delivering it.
    break;
  case 4:
    rx.Clear();
    SyncStep = kSynchronised;
    break;
  default:
    break;
  }
}

bool TCPU_ISP8051::Synchronised() {
  if (SyncStep <= 9) {
    SyncTick();
    return false;
  }
  if (SyncStep == kGaveUp) {
    Fail(programmer::FailReason::NoSync);
    return false;
  }
  return true;
}

void TCPU_ISP8051::EraseBegin() {
  if (Synchronised()) Enter(State, 1);
}

void TCPU_ISP8051::EraseStep() {
  auto& rx = Comm->RxLines;
  switch (Step) {
  case 0:
    rx.Clear();
    Comm->SendString(std::string(kEraseCommand));
    TryCount = 0;
    Step = 1;
    break;
  case 1:
    if (rx.Count() == 0) {
      if (++TryCount > kEraseWaitTicks) {
        if (RetryCount >= kMaxEraseRetries) {
          Step = 2; // unanswered to the end: the run goes on as if the chip were erased
        } else {
          ++RetryCount;
          Step = 0;
        }
      }
    } else if (Contains(rx.First(), '.')) {
      TryCount = 0;
      Step = 2;
      rx.DeleteFirst();
    }
    break;
  case 2:
    Enter(State, 2);
    rx.Clear();
    break;
  default:
    break;
  }
}

void TCPU_ISP8051::ProgramBegin() {
  if (Synchronised()) Enter(State, 1);
}

void TCPU_ISP8051::ProgramStep() {
  const RecordLoopRules rules{"\x06.", variant_.fatal, "X", /*clearBeforeSend=*/false,
                              kMaxRecordRetries};
  RecordLoopStep(rules, RetryCount, [this] {
    Comm->RxLines.Clear();
    RetryCount = 0;
  });
}

// Step k (from 1) waits for the "." to closing command k; the last one ends the run.
void TCPU_ISP8051::ProgramEnd() {
  auto& rx = Comm->RxLines;
  const int count = ClosingCount(variant_);
  if (Step == 0) {
    rx.Clear();
    if (count == 0) {
      TCPU::ProgramEnd();
      return;
    }
    Comm->SendString(std::string(variant_.closing[0]));
    Step = 1;
    Counter = 0;
    return;
  }
  if (rx.Count() > 0 && Contains(rx.First(), '.')) {
    rx.DeleteFirst();
    if (Step >= count) {
      TCPU::ProgramEnd();
    } else {
      Comm->SendString(std::string(variant_.closing[static_cast<std::size_t>(Step)]));
      ++Step;
      Counter = 0;
    }
    return;
  }
  if (++Counter > kCloseWaitTicks)
    Fail(programmer::FailReason::RecordUnanswered,
         "closing command " + std::to_string(Step) + " unanswered");
}

void TCPU_ISP8051::Finish() {
  TCPU::Finish();
  SyncStep = 0;
  if (variant_.finishBaud != 0 && Comm) Comm->SetBaudRate(variant_.finishBaud);
}

} // namespace vk::cpu
