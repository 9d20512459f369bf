#include "app/OperatorQuestions.h"

namespace vk::app {

platform::MsgAnswer OperatorQuestions::Ask(const std::string& text, const std::string& title) {
  asking_ = true;
  const auto answer = boxes_.Ask(text, title, platform::MsgButtons::YesNo,
                                 platform::MsgIcon::Warning, platform::MsgAnswer::No);
  asking_ = false;
  return answer;
}

bool OperatorQuestions::ConfirmErase(int module, const std::string& entry) {
  if (StopTimer) StopTimer();
  const auto answer =
      Ask("Erase module #" + std::to_string(module) + " (" + entry + ")? Its program is lost.",
          "Erase");
  if (StartTimer) StartTimer();
  return answer == platform::MsgAnswer::Yes;
}

bool OperatorQuestions::ProgramDespiteMismatch(const std::string& lines, bool allowed,
                                               bool programCloses) {
  if (StopTimer) StopTimer();
  if (!allowed) {
    // The setting that forbids untyped programming also ends the program here: say so first.
    asking_ = true;
    boxes_.Show(programCloses ? lines + "The program will close now.\r" : lines, "ID Mismatch",
                platform::MsgButtons::Ok, platform::MsgIcon::Error);
    asking_ = false;
    return false;
  }
  const auto answer = Ask(lines + "Do You want to proceed anyway ?\r", "ID Mismatch");
  if (StartTimer) StartTimer();
  return answer == platform::MsgAnswer::Yes;
}

bool OperatorQuestions::RemoveReadProtection() {
  return Ask("The chip's read protection is active:\rits flash can be neither read nor written.\r"
             "Removing the protection erases the whole flash.\rDo you want to remove it and "
             "program the chip ?\r",
             "Read Protection") == platform::MsgAnswer::Yes;
}

} // namespace vk::app
