#pragma once
// What a link has to tell the user, as a value: a port that will not open, a device that went
// away, a CAN error. The link shows nothing itself: the window shows it in a box (caption and
// text are the program's own) and vkprog prints it as "CAPTION: TEXT". Told on the tick thread.

#include <cstdint>
#include <functional>
#include <string>

namespace vk::link {

enum class MessageKind : std::uint8_t { Note, Warning, Error };

struct LinkMessage {
  std::string text;
  std::string caption;
  MessageKind kind = MessageKind::Note;
};

// Where a link's messages go; may be empty (then they are dropped).
using TellUser = std::function<void(const LinkMessage&)>;

} // namespace vk::link
