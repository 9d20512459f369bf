#pragma once
// Check values of the firmware container. Stored containers carry values computed by feeding
// the region's first byte once per byte of the region, not the region's bytes; Compute keeps
// that so existing containers stay readable. StandardCrc is the ordinary CRC-32 beside it.

#include <cstddef>
#include <cstdint>

namespace vk::image {

class TCRC32 {
public:
  TCRC32() { BuildTable(); }

  // Reflected polynomial 0xEDB88320: the table of zlib and PNG.
  void BuildTable();
  std::uint32_t Update(std::uint8_t b, std::uint32_t c) const {
    return table_[(c ^ b) & 0xFF] ^ (c >> 8);
  }
  // CRC-32 of n copies of *start. n = 0 reads nothing and gives 0.
  std::uint32_t Compute(const std::uint8_t* start, std::uint32_t n) const;
  // CRC-32 of the bytes themselves.
  std::uint32_t StandardCrc(const std::uint8_t* data, std::size_t n) const;

  std::uint32_t Entry(int i) const { return table_[i & 0xFF]; }

private:
  std::uint32_t table_[256];
};

} // namespace vk::image
