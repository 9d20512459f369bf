#include "link/PortEntry.h"

#include <algorithm>
#include <cctype>

namespace vk::link {

LinkKind LinkKindOfEntry(std::string_view entry) {
  const bool can =
      std::equal(entry.begin(), entry.end(), kCanPortEntry.begin(), kCanPortEntry.end(),
                 [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
  return can ? LinkKind::Can : LinkKind::Serial;
}

std::string PortEntryName(LinkKind kind, int portNo) {
  return kind == LinkKind::Can ? std::string(kCanPortEntry) : "COM" + std::to_string(portNo);
}

} // namespace vk::link
