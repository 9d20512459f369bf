#pragma once
// An address as ST's serial boot loader takes it (Read Memory, Write Memory, Go): the four bytes,
// most significant first, and their XOR. A loader refuses (0x1F) a frame whose last byte differs.

#include <cstdint>
#include <string>

namespace vk::cpu {

inline std::string StmAddressFrame(std::uint32_t addr) {
  std::string frame;
  std::uint8_t x = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto b = static_cast<std::uint8_t>(addr >> shift);
    frame += static_cast<char>(b);
    x ^= b;
  }
  return frame + static_cast<char>(x);
}

} // namespace vk::cpu
