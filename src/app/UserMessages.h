#pragma once
// The engine's messages for the user, shown: the image and the links hand them over as values,
// and only the application shows them, each in a box of its own (vkprog's boxes print a line).

#include "image/FirmwareImage.h"
#include "link/LinkMessage.h"
#include "platform/MessageBox.h"

#include <vector>

namespace vk::app {

inline platform::MsgIcon IconOf(image::MessageKind kind) {
  return kind == image::MessageKind::Error     ? platform::MsgIcon::Error
         : kind == image::MessageKind::Warning ? platform::MsgIcon::Warning
                                               : platform::MsgIcon::None;
}

inline platform::MsgIcon IconOf(link::MessageKind kind) {
  return kind == link::MessageKind::Error     ? platform::MsgIcon::Error
         : kind == link::MessageKind::Warning ? platform::MsgIcon::Warning
                                              : platform::MsgIcon::None;
}

// A load's messages as the window shows them: one box each, in order.
inline void ShowMessages(platform::IMessageBox& boxes,
                         const std::vector<image::ImageMessage>& messages) {
  for (const auto& m : messages)
    boxes.Show(m.text, m.caption, platform::MsgButtons::Ok, IconOf(m.kind));
}

// A link's messages shown in boxes, as they come.
inline link::TellUser TellInBoxes(platform::IMessageBox& boxes) {
  return [&boxes](const link::LinkMessage& m) {
    boxes.Show(m.text, m.caption, platform::MsgButtons::Ok, IconOf(m.kind));
  };
}

} // namespace vk::app
