#pragma once
// The port entries the operator chooses from (the window's port list, vkprog --port) and the
// link each one stands for: "PCAN" the CAN link, every other entry a serial port. Decided here
// only; the window, vkprog and the reports ask.

#include <string>
#include <string_view>

namespace vk::link {

// The link a protocol talks over, and the link a port entry opens.
enum class LinkKind : unsigned char { Serial, Can };

// The entry of the CAN link, as lists and reports show it.
inline constexpr std::string_view kCanPortEntry = "PCAN";

// "PCAN" in any case: the CAN link; anything else a serial port.
LinkKind LinkKindOfEntry(std::string_view entry);

// The entry's name as lists and reports show it: "PCAN", "COM3".
std::string PortEntryName(LinkKind kind, int portNo);

} // namespace vk::link
