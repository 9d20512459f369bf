#pragma once
// Building V&K containers: header, target list, message text and body, with the check values
// that the reader expects.

#include <cstdint>
#include <string>
#include <vector>

namespace vk::image {

struct ContainerContent {
  std::uint32_t version = 0x01010101;
  std::uint16_t edition = 1;
  std::uint16_t bodyFormat = 1; // 1 Intel HEX, 2 S-records
  std::vector<std::uint32_t> targets;
  std::string message; // must not contain a 0 byte
  std::vector<std::uint8_t> body;
};

// Throws std::invalid_argument when the content cannot be expressed in the format (offsets
// are 16 bits wide; a message may not hold a 0 byte).
std::vector<std::uint8_t> BuildContainer(const ContainerContent& content);

} // namespace vk::image
