#pragma once
// The questions the controller puts to the operator in the middle of a sequence: the erase of a
// module, firmware whose type is not the module's, and the removal of a chip's read protection.
// No is the button Enter presses for each: every one of them loses data when answered Yes.
// While a question is open the controller's ticks are held back (Asking).

#include "platform/MessageBox.h"

#include <functional>
#include <string>

namespace vk::app {

class OperatorQuestions {
public:
  explicit OperatorQuestions(platform::IMessageBox& boxes) : boxes_(boxes) {}

  bool Asking() const { return asking_; }
  // The window's 10 ms timer, stopped while the erase or the mismatch question is open.
  std::function<void()> StopTimer;
  std::function<void()> StartTimer;

  bool ConfirmErase(int module, const std::string& entry);
  // The loaded firmware is not meant for the module (lines: both sides of the comparison).
  // Allowed: asks whether to program anyway. Otherwise tells that the run is refused (and,
  // programCloses, that the program ends now), leaves the timer stopped and answers false.
  bool ProgramDespiteMismatch(const std::string& lines, bool allowed, bool programCloses);
  bool RemoveReadProtection();

private:
  platform::MsgAnswer Ask(const std::string& text, const std::string& title);
  platform::IMessageBox& boxes_;
  bool asking_ = false;
};

} // namespace vk::app
