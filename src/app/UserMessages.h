#pragma once
// The engine's messages for the user, shown: the image and the links hand them over as values,
// and only the application shows them, each in a box of its own (vkprog's boxes print a line).

#include "image/FirmwareImage.h"
#include "link/LinkMessage.h"
#include "platform/CanBus.h"
#include "platform/MessageBox.h"

#include <string>
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

// The window: the CAN driver's code for an interface that could not be opened, told as what it
// means - which interface, why (the back end's words, where there are any), and what to do.
// Other messages pass unchanged.
inline link::LinkMessage ExplainCanMessage(link::LinkMessage message,
                                           const platform::CanBusChoice& interface,
                                           const std::string& backendWords) {
  if (message.text.find("CAN_ERR_NOVXD") == std::string::npos) return message;
  const std::string& name = interface.interface;
  message.caption = "PCAN: no CAN interface";
  message.text =
      "The CAN interface " + name + " (" + interface.backend + ") could not be opened" +
      (backendWords.empty() ? std::string() : ":\r" + backendWords) +
      "\r\rPlug in the PCAN-USB adapter" +
      (interface.backend == "socketcan" ? " and bring its interface up (sudo ip link set " + name +
                                              " up type can bitrate RATE, RATE the bus's bit rate)"
                                        : std::string()) +
      ", then choose \"PCAN\" again. Another interface is chosen with the settings CAN/Backend "
      "and CAN/Interface (or VK_CAN_BACKEND and VK_CAN_INTERFACE). A module on a serial port "
      "needs a COM port instead.";
  return message;
}

} // namespace vk::app
