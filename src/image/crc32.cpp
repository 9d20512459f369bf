#include "image/crc32.h"

namespace vk::image {

void TCRC32::BuildTable() {
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table_[i] = c;
  }
}

std::uint32_t TCRC32::Compute(const std::uint8_t* start, std::uint32_t n) const {
  std::uint32_t c = 0xFFFFFFFFu;
  if (n == 0) return ~c;
  const std::uint8_t b = *start;
  for (std::uint32_t i = 0; i < n; ++i) c = Update(b, c);
  return ~c;
}

std::uint32_t TCRC32::StandardCrc(const std::uint8_t* data, std::size_t n) const {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = Update(data[i], c);
  return ~c;
}

} // namespace vk::image
