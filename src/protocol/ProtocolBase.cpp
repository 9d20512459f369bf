#include "protocol/ProtocolBase.h"

#include "link/ProtocolLink.h"
#include "platform/EventLoop.h"

#include <algorithm>

namespace vk::programmer {

const char* CpuStateName(CpuState s) {
  switch (s) {
  case CpuState::Idle:
    return "Idle";
  case CpuState::Initialize:
    return "Initialize";
  case CpuState::Erase:
    return "Erase";
  case CpuState::Program:
    return "Program";
  case CpuState::Done:
    return "Done";
  case CpuState::Failed:
    return "Failed";
  }
  return "?";
}

ProtocolBase::ProtocolBase(platform::IEventLoop& loop) : loop_(loop) {}

ProtocolBase::~ProtocolBase() = default;

void ProtocolBase::Sleep(int ms) { loop_.Sleep(ms); }

void ProtocolBase::PauseThen(int ms, std::function<void()> then) {
  ms = loop_.PauseMs(ms);
  pausing_ = true;
  pauseUntil_ = loop_.Now() + ms;
  afterPause_ = std::move(then);
  // The rest of the step runs when the pause ends, not at the controller's next tick.
  if (!pauseTimer_)
    pauseTimer_ = loop_.CreateTimer(ms, [this] {
      pauseTimer_->SetEnabled(false);
      Paused();
      if (pausing_ && !pauseTimer_->Enabled()) { // a timer that came early
        pauseTimer_->SetInterval(
            static_cast<int>(std::max<std::int64_t>(1, pauseUntil_ - loop_.Now())));
        pauseTimer_->SetEnabled(true);
      }
    });
  pauseTimer_->SetEnabled(false);
  pauseTimer_->SetInterval(std::max(ms, 1));
  pauseTimer_->SetEnabled(true);
  // What the device says meanwhile is for the step after the pause, as after a blocking wait.
  if (Comm && !heldLink_) {
    heldLink_ = Comm;
    heldLink_->HoldDeliveries(true);
  }
}

void ProtocolBase::EndPause() {
  if (pausing_ && pauseTimer_) pauseTimer_->SetEnabled(false);
  pausing_ = false;
  afterPause_ = nullptr;
  if (heldLink_) heldLink_->HoldDeliveries(false);
  heldLink_ = nullptr;
}

bool ProtocolBase::Paused() {
  if (!pausing_) return false;
  if (loop_.Now() < pauseUntil_) return true;
  pausing_ = false;
  const std::function<void()> then = std::move(afterPause_);
  afterPause_ = nullptr;
  if (then) then();
  if (!pausing_) EndPause(); // the rest of the step may pause again
  return true;
}

void ProtocolBase::StartWaiting() { waitStartedAt_ = loop_.Now(); }

bool ProtocolBase::WaitedLongerThan(int limitMs) const {
  return loop_.Now() - waitStartedAt_ >= limitMs;
}

void ProtocolBase::Arm(const RunOptions& options) {
  options_ = options;
  EndPause();
  FailedWith = FailReason::None;
  FailDetail.clear();
  DoneAs = RunResult::Programmed;
  BytesAcknowledged = 0;
  Verified = false;
  BytesVerified = 0;
  DoneDetail.clear();
  CheckedRange.clear();
  AfterVerifiedLog.clear();
  Identity.clear();
  Enter(CpuState::Initialize, RunPhase::Begin);
}

void ProtocolBase::Disarm() {
  EraseFirst = false;
  EndPause();
  Enter(CpuState::Idle, RunPhase::Begin);
}

void ProtocolBase::InitBegin(link::IProtocolLink* link, const std::string&) {
  Enter(CpuState::Initialize, RunPhase::Step);
  Comm = link;
}
void ProtocolBase::InitStep(bool& skipErase) {
  skipErase = false;
  Enter(CpuState::Erase, RunPhase::Begin);
}
void ProtocolBase::EraseBegin() { Enter(State, RunPhase::Step); }
void ProtocolBase::EraseStep() { Enter(State, RunPhase::End); }
void ProtocolBase::EraseEnd() { Enter(CpuState::Program, RunPhase::Begin); }
void ProtocolBase::ProgramBegin() { Enter(State, RunPhase::Step); }
void ProtocolBase::ProgramStep() { Enter(State, RunPhase::End); }
void ProtocolBase::ProgramEnd() { Enter(CpuState::Done, RunPhase::Begin); }
void ProtocolBase::Finish() { Resets(); }

void ProtocolBase::AttachProgressBar(IProgressView* bar) {
  ProgressBar = bar;
  if (!bar) return;
  if (CurAddr < EndAddr)
    bar->SetRange(static_cast<int>(CurAddr / 256), static_cast<int>((EndAddr + 255) / 256));
  else
    bar->SetRange(0, 255);
}

} // namespace vk::programmer
