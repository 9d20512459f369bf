#pragma once
// TCPU: the base of every target protocol. The run controller calls exactly one of the nine
// operations per tick, chosen by State and Phase; each does a small piece of work on the link
// and moves the state on. Protocols that override nothing walk to Done in eight ticks.

#include "programmer/RunOutcome.h"
#include "programmer/Views.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace vk::platform {
class IEventLoop;
}
namespace vk::link {
class TComm;
}
namespace vk::cpu {
class TProgKernel;
}

namespace vk::programmer {

enum class CpuState : std::uint8_t {
  Idle = 0,
  Initialize = 1,
  Erase = 2,
  Program = 3,
  Done = 4,
  Failed = 5
};

const char* CpuStateName(CpuState s);

class TCPU {
public:
  explicit TCPU(platform::IEventLoop& loop);
  virtual ~TCPU() = default;
  TCPU(const TCPU&) = delete;
  TCPU& operator=(const TCPU&) = delete;

  // The nine operations, in slot order.
  virtual void InitBegin(link::TComm* link, const std::string& param);
  virtual void InitStep(bool& skipErase);
  virtual void EraseBegin();
  virtual void EraseStep();
  virtual void EraseEnd();
  virtual void ProgramBegin();
  virtual void ProgramStep();
  virtual void ProgramEnd();
  virtual void Finish();

  // Shared routines.
  bool SendNextRecord();
  void BuildJumpTable();
  void AppendChecksum(std::uint32_t from, std::uint32_t to);
  void AttachProgressBar(IProgressView* bar);

  // Fields the controller fills (binding) and the run uses.
  bool EraseFirst = false;
  bool JumpTable = false;
  std::uint32_t CurAddr = 0;
  std::uint32_t EndAddr = 0;
  std::int32_t BlockSize = 128;
  std::uint8_t* Buffer = nullptr; // the 64 KiB image, not owned
  link::TComm* Comm = nullptr;
  IProgressView* ProgressBar = nullptr;
  CpuState State = CpuState::Idle;
  std::uint8_t Phase = 0;
  std::int32_t Step = 0;
  std::int32_t Counter = 0;
  std::int32_t BootBaud = 0;
  std::int32_t ModuleNo = 0;
  std::int32_t RegionStart = 0;
  std::int32_t RegionEnd = 0;
  cpu::TProgKernel* Kernel = nullptr;
  // Why the run failed; set by Fail, cleared when a run is armed.
  FailReason FailedWith = FailReason::None;
  std::string FailDetail;
  // What a run that reaches Done has done: a protocol that only checks the chip says what it
  // found, so that nothing is reported as programmed that was not written.
  RunResult DoneAs = RunResult::Programmed;
  // The address of the last record sent, for the reason of a failure.
  std::uint32_t LastRecordAt = 0;

  // A new run from the first operation; the reasons and results of the last run go.
  void Arm();
  // Back to rest without running anything.
  void Disarm();
  // The limit on an unanswered record or module selection.
  static constexpr int kAnswerLimitMs = 5000;

protected:
  // Step := 0, Counter := 0.
  void Resets() {
    Step = 0;
    Counter = 0;
  }
  void Enter(CpuState state, std::uint8_t phase) {
    State = state;
    Phase = phase;
    Resets();
  }
  void Fail(FailReason reason = FailReason::Unspecified, std::string detail = {}) {
    FailedWith = reason;
    FailDetail = std::move(detail);
    Enter(CpuState::Failed, 0);
  }
  // A blocking wait of the tick thread.
  void Sleep(int ms);
  // Starts the clock of a wait for an answer.
  void StartWaiting();
  bool WaitedLongerThan(int limitMs) const;
  // "record at 0x1040 refused (E)"
  std::string RecordDetail(const std::string& what) const;
  // The same for the refusal last seen by the record loop.
  std::string RefusalDetail() const;

  // The record loop the record-based boot loaders share (ProgramStep). Answers are scanned
  // character by character and the last recognised one decides; characters in none of the
  // sets are ignored. The answer entry is removed after the scan.
  struct RecordLoopRules {
    std::string_view acknowledge;       // send the next record
    std::string_view fatal;             // the run fails
    std::string_view retry;             // send the same record again
    bool clearBeforeSend;               // clear the receive list before each record
    int maxRetries;                     // repeats allowed per run
    int answerLimitMs = kAnswerLimitMs; // an unanswered record fails the run after this
  };
  // One tick of the loop on Step: 0 prepare (then 1), 1 send, 2 await the answer, 3 all sent
  // (Phase 2), 4 failed, 5 repeat. retryCount counts over the run; prepare resets it.
  void RecordLoopStep(const RecordLoopRules& rules, std::int32_t& retryCount,
                      const std::function<void()>& prepare);

  platform::IEventLoop& loop_;
  std::int64_t waitingSince_ = 0;
  char refusedWith_ = 0;
};

// The record of one block as it goes on the wire: ":LLAAAA00<data>CC" and a carriage return.
std::string IntelHexRecord(std::uint32_t addr, const std::uint8_t* data, std::uint32_t count);

} // namespace vk::programmer
