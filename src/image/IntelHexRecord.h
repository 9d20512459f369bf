#pragma once
// One Intel HEX record as text, for the writers that build records one at a time (a raw binary
// read as Intel HEX, the records a loader is sent). The line end is the caller's: files end a
// line with CR LF, the loaders take a CR.

#include "platform/Hex.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vk::image {

// ":LLAAAATT<data>CC": count, 16-bit address, type, data, two's-complement checksum.
inline void AppendIntelHexRecord(std::string& out, std::uint8_t type, std::uint16_t addr,
                                 const std::uint8_t* data, std::size_t count) {
  std::uint8_t sum = 0;
  auto put = [&](std::uint8_t b) {
    platform::AppendHexByte(out, b);
    sum = static_cast<std::uint8_t>(sum + b);
  };
  out += ':';
  put(static_cast<std::uint8_t>(count));
  put(static_cast<std::uint8_t>(addr >> 8));
  put(static_cast<std::uint8_t>(addr));
  put(type);
  for (std::size_t i = 0; i < count; ++i) put(data[i]);
  platform::AppendHexByte(out, static_cast<std::uint8_t>(-sum));
}

} // namespace vk::image
