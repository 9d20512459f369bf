#include "cpu/AT89C51RX2.h"

// On the wire (host left, loader right), in characters and lines:
//   "U"                   ->                 SendU
//                         <-  "U"            AwaitEcho          6 ticks, then "U" again
//   carriage return       ->                                    (21 "U" at most)
//   ":0100000212EB"       ->                 SendOscillator     P89C51RX2 only
//                         <-  "."            AwaitOscillatorOk  6 ticks, then again
//   ":0100000307F5"       ->                 SendErase          when the run erases
//                         <-  "."            AwaitErased        5 ticks, then again; at the
//                                                               end the run fails
// then the image in the shared record loop:
//   a record              ->
//                         <-  0x06 / "."     taken: the next record at once
//                         <-  "X"            the same record again (5 per run)
//                         <-  "L" / "R"      the run fails (the P89C51RX2: "R" only)
//   ":00000001FF"         ->
//   closing commands      ->                 SendFirst
//                         <-  "."            AwaitOk            each in turn; 500 ticks at most

#include "link/SerialLink.h"

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
};

TCPU_AT89C51RX2::TCPU_AT89C51RX2(platform::IEventLoop& loop) : TCPU_ISP8051(loop, kVariant) {}

TCPU_ISP8051::TCPU_ISP8051(platform::IEventLoop& loop, const Isp8051Variant& variant)
    : ProtocolBase(loop), variant_(variant) {}

void TCPU_ISP8051::InitBegin(link::SerialLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  if (variant_.initBaud != 0) Comm->SetBaudRate(variant_.initBaud);
  SyncStep = Sync::SendU;
  inSync_ = false;
  LoaderRepeats = 0;
  Enter(EraseFirst ? CpuState::Erase : CpuState::Program, RunPhase::Begin);
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
        Sleep(kTiming.afterEchoMs);
        SyncStep = Sync::SendOscillator;
      } else {
        Sleep(kTiming.afterEchoMs);
        Comm->DropAnswers();
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
    GoTo(Erasing::AwaitErased);
    break;
  case Erasing::AwaitErased:
    if (!Comm->AnswerWaiting()) {
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
    }
    break;
  case Erasing::Erased:
    Enter(State, RunPhase::End);
    Comm->DropAnswers();
    break;
  }
}

void TCPU_ISP8051::ProgramBegin() {
  if (LoaderListens()) Enter(State, RunPhase::Step);
}

void TCPU_ISP8051::ProgramStep() {
  RecordLoopRules rules{"\x06.", variant_.fatal, "X", /*clearBeforeSend=*/false, kMaxRecordRetries};
  rules.echoesRecords = true;
  RecordLoopStep(rules, RecordRepeats, [this] {
    Comm->DropAnswers();
    RecordRepeats = 0;
  });
}

// Each closing command in turn, each acknowledged by "."; after the last the run is done.
void TCPU_ISP8051::ProgramEnd() {
  const int count = ClosingCount(variant_);
  switch (At<Closing>()) {
  case Closing::SendFirst:
    Comm->DropAnswers();
    if (count == 0) {
      ProtocolBase::ProgramEnd();
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
        ProtocolBase::ProgramEnd();
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
  ProtocolBase::Finish();
  SyncStep = Sync::SendU;
  inSync_ = false;
  if (variant_.finishBaud != 0 && Comm) Comm->SetBaudRate(variant_.finishBaud);
}

} // namespace vk::cpu
