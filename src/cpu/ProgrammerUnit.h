#pragma once
// The programmer unit's own conversation: the commands the host sends the box on the module
// backplane, whoever sends them (the backplane protocol, the detection before a run, the device
// finder, the "OP n" before a run of a kind that selects its module first). Text lines, each
// ended by CR (host left, unit right):
//   "OP n"      ->                  select the module at decimal address n
//               <-  "OK"            selected; an empty address: silence, or whatever the unit
//                                   says for it (some say "OK" there as well)
//   "OPn"       ->                  the device finder's probe: the same selection without the
//                                   space, tried address after address and rate after rate;
//                                   after a rate change "OPn" with a second CR (an empty command)
//               <-  "OK"            a unit listens at this address and rate
//   "ID"        ->                  the selected module's type
//               <-  "IDtt"          tt: the type as two hexadecimal digits (characters 3 and 4);
//                                   nothing when no module is selected
//   "QV550274"  ->                  the host's key: no answer; from then on the unit listens at
//                                   115200 bit/s as well
// An answer counts as "OK" when it holds "OK" anywhere in the line.
//
// A detection (ModuleDetection) before a run asks "OP n" in passes of its own (a pause, the
// selection, a short wait for any answer) and then "ID", again after a second of silence.
// A run of a kind that selects its module first (SelectBeforeRun) sends "OP n" and starts once
// the unit had its time to switch; the answer is left to the run.

#include "platform/EventLoop.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vk::link {
class IProtocolLink;
}

namespace vk::programmer {

// The unit's durations outside the backplane protocol's run (that one has BackplaneTiming).
struct ProgrammerUnitTiming {
  // The pause before each "OP n" of a detection.
  int beforeSelectMs = 100;
  // A detection's "OP n" unanswered this long: the next pass (the 10 ms tick's 11th poll).
  int selectAnswerMs = 100;
  // Passes of a detection's "OP n": the last one ends the detection without sending (nine
  // selections go out).
  int selectPasses = 10;
  // "ID" unanswered this long: asked again.
  int typeAnswerMs = 1000;
  // "ID" asked at most this often (about 5 s): a unit that says "OK" for an empty slot never
  // answers it.
  int typeAsks = 5;
  // The pause after the "OP n" before a run of a kind that selects its module first.
  int afterSelectBeforeRunMs = 100;
  // The device finder's pause after it changed the rate, and again after its first probe there.
  int finderAfterRateChangeMs = 100;
};

class ProgrammerUnit {
public:
  static constexpr ProgrammerUnitTiming kTiming{};

  explicit ProgrammerUnit(link::IProtocolLink& link) : link_(link) {}

  // "OP 7": the selection as the log and failure reasons name it.
  static std::string SelectCommand(int address);
  // "OP7": the device finder's probe as its window shows it.
  static std::string ProbeCommand(int address);
  static bool IsOk(const std::string& answer);
  // The type an "ID" answer carries (characters 3 and 4 as hexadecimal digits); nullopt when the
  // answer holds none.
  static std::optional<std::int32_t> TypeIn(const std::string& idAnswer);

  void Select(int address);
  void AskType();
  void Probe(int address);
  // Sent once the finder changed the rate, before its round at that rate: address 0 with a
  // second CR (an empty command to the unit).
  void ProbeAfterRateChange();
  void SendHostKey();

private:
  link::IProtocolLink& link_;
};

// The detection of the module at one address: selection passes, then the type. Driven by the
// main controller's tick; the controller decides what the type means (catalogue, run).
class ModuleDetection {
public:
  enum class Result : std::uint8_t {
    Pending,
    Found,      // Type() holds the module's type
    NoModule,   // no answer to any selection pass
    Garbled,    // "ID" answered without a type
    NoIdAnswer, // selected, but "ID" never answered (an empty slot that says "OK")
  };

  static constexpr const ProgrammerUnitTiming& kTiming = ProgrammerUnit::kTiming;

  ModuleDetection(link::IProtocolLink& link, platform::IEventLoop& loop)
      : link_(link), unit_(link), loop_(loop) {}

  void Start(int address);
  // One tick. answerDelivered: the tick runs for a line the link delivers (the oldest answer).
  // Once the result is in, each tick repeats it and sends nothing.
  Result Tick(bool answerDelivered);
  std::int32_t Type() const { return type_; }

  // Told each time "ID" goes out (the window shows it on the terminal).
  std::function<void()> OnTypeAsked;

private:
  enum class Stage : std::uint8_t { Select, AwaitSelected, AskType, AwaitType, Over };
  void AskType();
  Result Conclude(Result result);

  link::IProtocolLink& link_;
  ProgrammerUnit unit_;
  platform::IEventLoop& loop_;
  Stage stage_ = Stage::Select;
  int address_ = 0;
  int passes_ = 0;
  int typeAsks_ = 0;
  platform::Millis sentAt_ = 0;
  std::int32_t type_ = 0;
  Result result_ = Result::Pending;
};

// "OP n" before a run: the run may start once the unit had afterSelectBeforeRunMs to switch to
// the module. Waited for tick by tick, so that a stop meanwhile is heard.
class SelectBeforeRun {
public:
  SelectBeforeRun(link::IProtocolLink& link, platform::IEventLoop& loop)
      : unit_(link), loop_(loop) {}
  void Send(int address);
  bool Over() const {
    return loop_.Now() - sentAt_ >= ProgrammerUnit::kTiming.afterSelectBeforeRunMs;
  }

private:
  ProgrammerUnit unit_;
  platform::IEventLoop& loop_;
  platform::Millis sentAt_ = 0;
};

} // namespace vk::programmer
