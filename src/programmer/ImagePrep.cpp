#include "programmer/ImagePrep.h"

#include "programmer/Catalogue.h"

#include <algorithm>

namespace vk::programmer {

bool BuildJumpTable(std::uint8_t* image, std::uint32_t& curAddr) {
  if (curAddr != kVectorsAt) return false;
  for (std::uint32_t i = 1; i <= 31; ++i) {
    const std::uint8_t hi = image[kVectorsAt + 2 * i];
    const std::uint8_t lo = image[kVectorsAt + 2 * i + 1];
    if (hi < 0x10 || hi >= 0x80) continue; // target outside 0x1000..0x7FFF
    std::uint8_t* slot = image + kJumpTableAt + 4 * i;
    slot[0] = 0x5A;
    slot[1] = 0x00;
    slot[2] = hi;
    slot[3] = lo;
  }
  curAddr = kJumpTableAt;
  return true;
}

ChecksumResult AppendChecksum(std::uint8_t* image, std::uint32_t& endAddr, std::uint32_t from,
                              std::uint32_t to) {
  const std::uint32_t at = endAddr + (endAddr & 1);
  if (at + 2 > kImageSize) return ChecksumResult::NoRoom;
  if (from >= kImageSize) return ChecksumResult::RegionOutside;
  to = std::min(to, kImageSize - 1);

  image[at] = 0;
  image[at + 1] = 0;
  std::uint16_t sum = 0;
  if (to >= from) {
    const std::uint32_t words = (to - from + 1) / 2;
    for (std::uint32_t i = 0; i < words; ++i) {
      const std::uint32_t a = from + 2 * i;
      sum = static_cast<std::uint16_t>(sum + ((image[a] << 8) | image[a + 1]));
    }
  }
  const auto word = static_cast<std::uint16_t>(-sum);
  image[at] = static_cast<std::uint8_t>(word >> 8);
  image[at + 1] = static_cast<std::uint8_t>(word);
  endAddr = at + 2;
  return ChecksumResult::Appended;
}

PreparedImage PrepareForTarget(std::uint8_t* image, std::uint32_t memStart, std::uint32_t memEnd,
                               const CatalogueEntry& entry) {
  std::uint32_t curAddr = memStart;
  std::uint32_t endAddr = memEnd;
  PreparedImage out{};
  out.jumpTable = entry.JumpTable && BuildJumpTable(image, curAddr);
  out.checksum = AppendChecksum(image, endAddr, static_cast<std::uint32_t>(entry.RegionStart),
                                static_cast<std::uint32_t>(entry.RegionEnd));
  out.start = std::min(memStart, curAddr);
  out.end = std::max(memEnd, endAddr);
  return out;
}

} // namespace vk::programmer
