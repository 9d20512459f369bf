#include "cli/CliMessageBox.h"

#include "cli/Commands.h"

#include <cstdio>

namespace vk::cli {

void Error(const std::string& what) { std::fprintf(stderr, "vkprog: %s\n", what.c_str()); }

using platform::MsgAnswer;
using platform::MsgButtons;

std::string CliMessageBox::Line(const std::string& text, const std::string& caption) {
  std::string line = caption + ": " + text;
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  return line;
}

MsgAnswer CliMessageBox::Show(const std::string& text, const std::string& caption,
                              MsgButtons buttons, platform::MsgIcon) {
  ++shown_;
  std::fprintf(out_, "%s\n", Line(text, caption).c_str());
  std::fflush(out_);
  switch (buttons) {
  case MsgButtons::Ok:
    return MsgAnswer::Ok;
  case MsgButtons::OkCancel:
    return answerYes_ ? MsgAnswer::Ok : MsgAnswer::Cancel;
  case MsgButtons::YesNo:
  case MsgButtons::YesNoCancel:
    return answerYes_ ? MsgAnswer::Yes : MsgAnswer::No;
  }
  return MsgAnswer::Ok;
}

} // namespace vk::cli
