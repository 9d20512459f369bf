#include "cpu/StmBootLoader.h"

namespace vk::cpu::stm_boot {

std::string CommandFrame(Command command) {
  const auto code = static_cast<std::uint8_t>(command);
  return {static_cast<char>(code), static_cast<char>(~code & 0xFF)};
}

std::string AddressFrame(std::uint32_t addr) {
  std::string frame;
  for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>(addr >> shift);
  return WithXor(frame);
}

std::string LengthFrame(std::uint32_t count) {
  const auto n = static_cast<std::uint8_t>(count - 1);
  return {static_cast<char>(n), static_cast<char>(~n & 0xFF)};
}

std::string WithXor(std::string bytes) {
  std::uint8_t x = 0;
  for (const char c : bytes) x ^= static_cast<std::uint8_t>(c);
  return bytes + static_cast<char>(x);
}

Reply Heard(std::string_view bytes) {
  if (bytes.find(static_cast<char>(kAck)) != std::string_view::npos) return Reply::Ack;
  if (bytes.find(static_cast<char>(kNack)) != std::string_view::npos) return Reply::Nack;
  return Reply::Neither;
}

} // namespace vk::cpu::stm_boot
