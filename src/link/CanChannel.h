#pragma once
// What a protocol that talks over CAN may do with the bus: send a frame to the selected node,
// read the node's last reply, and start the conversation afresh. The CAN link is one such
// channel; the bus driver, the poll timer and the selectors stay the link's own business.

#include <cstdint>
#include <optional>
#include <string>

namespace vk::link {

class ICanChannel {
public:
  virtual ~ICanChannel() = default;

  // A frame of at most 8 data bytes to the selected node, its identifier the node's address plus
  // the function code; true once the bus driver took it.
  virtual bool SendToNode(std::uint16_t functionCode, const std::string& data) = 0;
  // The first data byte of the node's reply since the last ClearReply; nullopt while none came.
  virtual std::optional<std::uint8_t> ReplyResult() const = 0;
  virtual void ClearReply() = 0;
  // The selected node, 1..126.
  virtual int NodeAddress() const = 0;
  // Closes the interface, so that the node sees the link start afresh with the next frame.
  virtual void Restart() = 0;
};

} // namespace vk::link
