#pragma once
// ProtocolBase: the base of every target protocol. The run controller calls exactly one of the nine
// operations per tick, chosen by State and Phase; each does a small piece of work on the link
// and moves the state on. Protocols that override nothing walk to Done in eight ticks.

#include "protocol/ProgressView.h"
#include "protocol/RunOutcome.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vk::platform {
class IEventLoop;
class ITimer;
} // namespace vk::platform
namespace vk::link {
class IProtocolLink;
}
namespace vk::cpu {
class BootKernel;
}

namespace vk::programmer {

enum class CpuState : std::uint8_t { Idle, Initialize, Erase, Program, Done, Failed };

const char* CpuStateName(CpuState s);

// Which of a state's operations the controller calls at the next tick: its Begin (InitBegin,
// EraseBegin, ProgramBegin), its Step, or its End.
enum class RunPhase : std::uint8_t { Begin, Step, End };

// The variable of a machine whose steps are the enumeration E, set and compared by name. It reads
// as the step's number as well: traces print it, and benches set a step by its number to start a
// machine part-way.
template <class E> class StepOf {
  static_assert(std::is_enum_v<E>);

public:
  using Number = std::underlying_type_t<E>;
  constexpr StepOf(E step = E{}) : step_(step) {}
  constexpr StepOf(Number n) : step_(static_cast<E>(n)) {}
  constexpr E Is() const { return step_; }
  constexpr operator Number() const { return static_cast<Number>(step_); }
  friend constexpr bool operator==(StepOf a, E b) { return a.step_ == b; }

private:
  E step_;
};

// What a run does with the module's flash.
enum class RunPurpose : std::uint8_t {
  // Erase as the kind does, write the image, then, where the chip can read, read every written
  // byte back and compare (Verified, BytesVerified).
  Program,
  // Read CurAddr..EndAddr (EndAddr exclusive) into Buffer; nothing is erased or written. Done
  // with DoneAs RunResult::Read.
  Read,
  // Read CurAddr..EndAddr and compare with Buffer; nothing is erased or written. Done with DoneAs
  // RunResult::Same; a difference fails with FailReason::VerifyFailed.
  Compare,
  // Ask the boot loader what it is (its version, the product, the flash size where it can be
  // read, the protection) into Identity; nothing is erased, written or read of the program.
  // Done with DoneAs RunResult::Identified.
  Identify,
};

// One fact an identify run found: "loader" "version 2.2", "protection" "none".
struct IdentityFact {
  std::string name;
  std::string value;
};

// What a run works with, from the module's catalogue entry and its address: given when the
// module is chosen (Bind), the address again when a run starts.
struct RunSetup {
  bool jumpTable = false;       // the loader wants the vectors' jump table at 0x0F80
  std::int32_t regionStart = 0; // the entry's region: what the checksum word counts, where the
  std::int32_t regionEnd = 0;   // flash lies
  std::int32_t blockSize = 128; // image bytes per record or block
  std::int32_t bootBaud = 0;    // the boot loader's line rate
  std::int32_t moduleAddress = 0;
  cpu::BootKernel* kernel = nullptr; // the boot kernel a kind that loads one sends
};

// What a run is asked for beyond its image: given when the run is armed, kept to its end.
struct RunOptions {
  RunPurpose purpose = RunPurpose::Program;
  // Asked by the operator, for a protocol that can: start the program after a good run; remove
  // the chip's read protection (which erases it) when it is found.
  bool startAfterProgramming = false;
  bool removeReadProtection = false;
  // An erase-only run of a boot loader that erases the whole chip on request: the run erases
  // everything (not only what the image covers) and writes nothing.
  bool eraseWholeChip = false;
  // The full address a started program begins at; 0: the image's first address.
  std::uint32_t startAt = 0;
};

class ProtocolBase {
public:
  explicit ProtocolBase(platform::IEventLoop& loop);
  virtual ~ProtocolBase();
  ProtocolBase(const ProtocolBase&) = delete;
  ProtocolBase& operator=(const ProtocolBase&) = delete;

  // The nine operations, in slot order.
  virtual void InitBegin(link::IProtocolLink* link, const std::string& param);
  virtual void InitStep(bool& skipErase);
  virtual void EraseBegin();
  virtual void EraseStep();
  virtual void EraseEnd();
  virtual void ProgramBegin();
  virtual void ProgramStep();
  virtual void ProgramEnd();
  virtual void Finish();

  void AttachProgressBar(IProgressView* bar);

  // Fields the controller fills (binding) and the run uses.
  bool EraseFirst = false;
  std::uint32_t CurAddr = 0;
  std::uint32_t EndAddr = 0;
  std::uint8_t* Buffer = nullptr; // the 64 KiB image, not owned
  link::IProtocolLink* Comm = nullptr;
  IProgressView* ProgressBar = nullptr;
  CpuState State = CpuState::Idle;
  StepOf<RunPhase> Phase;
  // The step within the phase; each protocol names its steps (At, GoTo).
  std::int32_t Step = 0;
  // What the current step counts (ticks waited, answers, bytes received), as the protocol says.
  std::int32_t Counter = 0;
  // Why the run failed; set by Fail, cleared when a run is armed.
  FailReason FailedWith = FailReason::None;
  std::string FailDetail;
  // What a run that reaches Done has done: a protocol that only checks the chip says what it
  // found, so that nothing is reported as programmed that was not written.
  RunResult DoneAs = RunResult::Programmed;
  // What such a check covered or found, for the log: "08000000-080020FF checked", "data at
  // 0100-01FF".
  std::string DoneDetail;
  // The addresses such a check read, "08000000-080020FF"; empty for a run that checked nothing.
  std::string CheckedRange;
  // What the run did after its last check ("started the program at 08000000"): logged after
  // "Verified", so that the log tells the run in its order.
  std::string AfterVerifiedLog;
  // Image bytes the device has taken in this run (a report says 0 for a run that wrote nothing).
  std::uint32_t BytesAcknowledged = 0;
  // What an identify run found, in the order found; cleared when a run is armed.
  std::vector<IdentityFact> Identity;
  // The run read back every byte it wrote (or, comparing, every byte of the range) and found it
  // equal; BytesVerified counts them (and, reading, the bytes read).
  bool Verified = false;
  std::uint32_t BytesVerified = 0;
  // The full address of the image's 64 KiB window (its 16-bit addresses lie in it), from the
  // file's extended address records; 0 for a file without them.
  std::uint32_t ImageWindow = 0;
  // A line for the run's log (the controller puts the module's name before it); may be empty.
  std::function<void(const std::string& line)> OnLog;

  // The run waits for an answer and nothing else: the answer is handed over when it arrives, so
  // only the answer's time limit needs the controller's tick meanwhile.
  virtual bool AwaitingAnswerOnly() const { return false; }
  // A pause (PauseThen) holds the run: the controller asks this before each operation and calls
  // none while it is true. The call that finds the pause over runs what was to follow it and
  // returns true (that tick is used); false when no pause holds the run.
  bool Paused();
  bool Pausing() const { return pausing_; }
  // A new run from the first operation, asked for `options`; the reasons and results of the last
  // run go.
  virtual void Arm(const RunOptions& options);
  // What the runs work with until the next Bind.
  void Bind(const RunSetup& setup) { setup_ = setup; }
  const RunSetup& Setup() const { return setup_; }
  // What the current (or last) run was asked for.
  const RunOptions& Options() const { return options_; }
  RunPurpose Purpose() const { return options_.purpose; }
  // Back to rest without running anything.
  void Disarm();

  // The controller moves the run with these; a protocol moves it itself (Enter, GoTo, Fail).

  // The range of the image a run sends: from `from` up to `end`.
  void SetRange(std::uint32_t from, std::uint32_t end) {
    CurAddr = from;
    EndAddr = end;
  }
  // After InitBegin: a run that is still initialising goes on with InitStep.
  void ContinueInitializing() {
    if (State == CpuState::Initialize) Phase = RunPhase::Step;
  }
  // The erase is skipped: programming starts with its Begin.
  void SkipToProgram() {
    State = CpuState::Program;
    Phase = RunPhase::Begin;
  }
  // The run is over; the reasons and results stay for the report.
  void StopRunning() { State = CpuState::Idle; }
  // The reason of a failure the controller found (link lost, stopped by the user...).
  void NoteFailure(FailReason reason, std::string detail) {
    FailedWith = reason;
    FailDetail = std::move(detail);
  }
  // The run fails with this reason at the next tick.
  void Fail(FailReason reason = FailReason::Unspecified, std::string detail = {}) {
    NoteFailure(reason, std::move(detail));
    Enter(CpuState::Failed, RunPhase::Begin);
  }

protected:
  // Step := 0, Counter := 0.
  void Resets() {
    Step = 0;
    Counter = 0;
  }
  void Enter(CpuState state, RunPhase phase) {
    State = state;
    Phase = phase;
    Resets();
  }
  // Step, read and set by the name the protocol gives it in the current phase.
  template <class E> E At() const { return static_cast<E>(Step); }
  template <class E> void GoTo(E step) { Step = static_cast<std::int32_t>(step); }

  // What a poll that did not find the awaited answer leads to.
  enum class Patience : std::uint8_t { Wait, Retry, GiveUp };
  // Counts the poll in `polls`; once more than `quietPolls` went unanswered the attempt is over,
  // and AnotherAttempt decides.
  static Patience Unanswered(std::int32_t& polls, int quietPolls, std::int32_t& retries,
                             int maxRetries) {
    if (++polls <= quietPolls) return Patience::Wait;
    return AnotherAttempt(retries, maxRetries) ? Patience::Retry : Patience::GiveUp;
  }
  // An attempt came to nothing: another one while fewer than `maxRetries` were made (counting it
  // in `retries`), else the protocol gives up.
  static bool AnotherAttempt(std::int32_t& retries, int maxRetries) {
    if (retries >= maxRetries) return false;
    ++retries;
    return true;
  }
  // A blocking wait of the tick thread: a stop waits for its end. Steps use PauseThen.
  void Sleep(int ms);
  // A pause that does not hold the tick thread: `then`, the rest of the step, runs once `ms` have
  // passed, in the place of the next operation. A stop meanwhile ends the run before it runs.
  void PauseThen(int ms, std::function<void()> then = {});
  // No pause holds the run any more; the link hands over what came meanwhile.
  void EndPause();
  // Starts the clock of a wait for an answer.
  void StartWaiting();
  bool WaitedLongerThan(int limitMs) const;

  platform::IEventLoop& loop_;

private:
  RunSetup setup_;
  RunOptions options_;
  std::int64_t waitStartedAt_ = 0; // StartWaiting's clock reading
  bool pausing_ = false;
  std::int64_t pauseUntil_ = 0;
  std::function<void()> afterPause_;
  link::IProtocolLink* heldLink_ = nullptr; // the link whose deliveries the pause holds
  std::unique_ptr<platform::ITimer> pauseTimer_;
};

} // namespace vk::programmer
