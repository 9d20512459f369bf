#include "devsim/ScriptedSerialModel.h"

#include <algorithm>

namespace vk::devsim {

Micros ScriptedSerialModel::Answer(std::string_view answer, Micros readyAt, std::uint32_t baud,
                                   std::string_view garbled) {
  if (answer.empty() || Silenced()) return readyAt;
  if (answerFault_ && answerFault_->action == FaultAction::Silent) {
    Note(readyAt, "fault " + answerFault_->rule + ": answer withheld");
    return readyAt;
  }
  if (answerFault_ && answerFault_->action == FaultAction::Garbage) {
    Note(readyAt, "fault " + answerFault_->rule + ": answer garbled");
    answer = garbled;
  }
  return Send(answer, readyAt, baud);
}

char ScriptedSerialModel::RefusalLetter(const Fault& fault) const {
  return fault.action == FaultAction::ReplyX   ? 'X'
         : fault.action == FaultAction::ReplyE ? 'E'
                                               : 'R';
}

bool ScriptedSerialModel::Refuses(const Fault& fault, Micros at, std::uint32_t baud,
                                  Micros* answeredAt) {
  if (answeredAt) *answeredAt = at;
  switch (fault.action) {
  case FaultAction::HangUp:
    Note(at, "fault " + fault.rule + ": hanging up");
    HangUpAt(at);
    return true;
  case FaultAction::ReplyX:
  case FaultAction::ReplyE:
  case FaultAction::ReplyR: {
    Note(at, "fault " + fault.rule + ": refused");
    const std::string answer{RefusalLetter(fault), '\r', '\n'};
    const Micros done = Answer(answer, at, baud);
    if (answeredAt) *answeredAt = done;
    return true;
  }
  case FaultAction::Silent:
  case FaultAction::Garbage:
    answerFault_ = &fault;
    return false;
  }
  return false;
}

bool ScriptedSerialModel::RefusesCommand(std::string_view name, std::uint64_t index, Micros at,
                                         std::uint32_t baud) {
  const Fault* fault = faults_.ForCommand(name, index);
  return fault && Refuses(*fault, at, baud, nullptr);
}

bool ScriptedSerialModel::RefusesRecord(std::uint64_t n, Micros at, std::uint32_t baud) {
  const Fault* fault = faults_.ForRecord(n);
  Micros answeredAt = at;
  if (!fault || !Refuses(*fault, at, baud, &answeredAt)) return false;
  if (fault->action != FaultAction::HangUp) AfterRecordAnswered(n, answeredAt);
  return true;
}

void ScriptedSerialModel::AfterRecordAnswered(std::uint64_t n, Micros answeredAt) {
  recordsTaken_ = std::max(recordsTaken_, n);
  const Fault* fault = faults_.AfterRecord(n);
  if (!fault) return;
  if (fault->action == FaultAction::HangUp) {
    Note(answeredAt, "fault " + fault->rule + ": hanging up");
    HangUpAt(answeredAt);
  } else {
    Note(answeredAt, "fault " + fault->rule + ": silent from now on");
    silencedFromNow_ = true;
  }
}

} // namespace vk::devsim
