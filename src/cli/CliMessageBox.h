#pragma once
// Message boxes on a terminal: one line "CAPTION: TEXT" on stderr; the box answers with its
// default button unless told otherwise.

#include "platform/MessageBox.h"

#include <cstdio>

namespace vk::cli {

class CliMessageBox : public platform::IMessageBox {
public:
  explicit CliMessageBox(std::FILE* out = stderr) : out_(out) {}
  platform::MsgAnswer Show(const std::string& text, const std::string& caption,
                           platform::MsgButtons buttons, platform::MsgIcon icon) override;

  // Answer Yes to Yes/No questions (vkprog --yes); otherwise No.
  void SetAnswerYes(bool yes) { answerYes_ = yes; }
  int Shown() const { return shown_; }

  // "CAPTION: TEXT" with line breaks in TEXT shown as spaces.
  static std::string Line(const std::string& text, const std::string& caption);

private:
  std::FILE* out_;
  bool answerYes_ = false;
  int shown_ = 0;
};

} // namespace vk::cli
