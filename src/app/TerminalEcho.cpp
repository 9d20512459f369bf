#include "app/TerminalEcho.h"

#include "link/SerialLink.h"
#include "platform/Hex.h"

namespace vk::app {

std::string TerminalText(const std::string& line, bool rawMode) {
  if (line.empty() || (line[0] != '~' && !rawMode)) return line;
  std::string out;
  out.reserve(line.size() * 3);
  for (const unsigned char b : line) {
    out += ' ';
    platform::AppendHexByte(out, b);
  }
  return out;
}

void TerminalEcho::Sent(const link::SerialLink& link, const std::string& bytes) {
  if (!terminal_) return;
  // A command may go out in pieces (a record's ":" before its digits): each is shown as one
  // line once its line end has gone, or an answer comes; raw bytes a line's worth at a time.
  for (const char c : bytes) {
    if (c == '\r' || c == '\n') {
      ShowSent(link);
      continue;
    }
    sentPending_ += c;
    if (link.IsRawMode() && sentPending_.size() >= kSentLineBytes) ShowSent(link);
  }
}

void TerminalEcho::Received(const link::SerialLink& link, const std::string& line) {
  ShowSent(link);
  if (terminal_) terminal_->AddLine(TerminalText(line, link.IsRawMode()));
}

void TerminalEcho::ShowSent(const link::SerialLink& link) {
  if (sentPending_.empty() || !terminal_) return;
  terminal_->AddLine(kSentMark + TerminalText(sentPending_, link.IsRawMode()));
  sentPending_.clear();
}

} // namespace vk::app
