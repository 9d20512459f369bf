#pragma once
// The Communication page's echo of the link: each command sent, marked with kSentMark, and each
// line received, in the order they passed.

#include "programmer/Views.h"

#include <cstddef>
#include <string>

namespace vk::link {
class SerialLink;
}

namespace vk::app {

class TerminalEcho {
public:
  static constexpr const char* kSentMark = "> ";
  // Raw bytes sent (a boot kernel) are shown this many to a line.
  static constexpr std::size_t kSentLineBytes = 64;

  explicit TerminalEcho(programmer::ITextView* terminal) : terminal_(terminal) {}

  // The serial link's send handler.
  void Sent(const link::SerialLink& link, const std::string& bytes);
  // A line received: what was sent before it first, in its place.
  void Received(const link::SerialLink& link, const std::string& line);

private:
  // The sent bytes of a line not shown yet.
  void ShowSent(const link::SerialLink& link);
  programmer::ITextView* terminal_;
  std::string sentPending_;
};

// How a received line is shown on the terminal: as text, or as " 7E 41 42" when it starts with
// "~" or the link is in raw mode.
std::string TerminalText(const std::string& line, bool rawMode);

} // namespace vk::app
