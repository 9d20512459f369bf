#pragma once
// Upper-case hexadecimal as the program shows addresses, sums and bytes everywhere: in the log,
// in records on the wire, in traces and reports.

#include <cstdint>
#include <string>

namespace vk::platform {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// At least `digits` digits: HexDigits(0x20FF, 4) "20FF", HexDigits(0x1C291CA3, 8) "1C291CA3".
inline std::string HexDigits(std::uint32_t v, int digits) {
  std::string text;
  std::uint32_t rest = v;
  do {
    text.insert(text.begin(), kHexDigits[rest & 0xF]);
    rest >>= 4;
  } while (rest != 0 || static_cast<int>(text.size()) < digits);
  return text;
}

// Two digits for a byte, appended.
inline void AppendHexByte(std::string& out, std::uint8_t byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0xF];
}

} // namespace vk::platform
