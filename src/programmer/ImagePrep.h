#pragma once
// Preparing an image for a target before it is programmed or saved: the jump table below a
// program linked at 0x1000, and the checksum word after the image. Both stay inside the
// 64 KiB image whatever the target's region says.

#include <cstdint>

namespace vk::programmer {

inline constexpr std::uint32_t kImageSize = 0x10000;
inline constexpr std::uint32_t kJumpTableAt = 0x0F80;
inline constexpr std::uint32_t kVectorsAt = 0x1000;

// When curAddr is 0x1000, turns the vectors 1..31 at 0x1000 that point into 0x1000..0x7FFF
// into absolute jumps (5A 00 hi lo) at 0x0F80 + 4i and moves curAddr to 0x0F80.
// Returns whether the table was built.
bool BuildJumpTable(std::uint8_t* image, std::uint32_t& curAddr);

enum class ChecksumResult {
  Appended,
  NoRoom,        // the image ends at 0xFFFF: no room for the word; nothing written
  RegionOutside, // the region lies wholly above the image; nothing written
};

// Appends the 16-bit word that makes the big-endian words of from..to (clipped to the image)
// add up to zero, at endAddr rounded up to even; endAddr then moves past it.
ChecksumResult AppendChecksum(std::uint8_t* image, std::uint32_t& endAddr, std::uint32_t from,
                              std::uint32_t to);

struct CatalogueEntry;

struct PreparedImage {
  std::uint32_t start; // lowest address to write, the jump table included
  std::uint32_t end;   // one past the highest, the checksum word included
  bool jumpTable;
  ChecksumResult checksum;
};

// What saving for a target does to a loaded image [memStart, memEnd): the jump table when the
// entry asks for one, then the checksum word over the entry's region. Returns the range that
// now holds everything to write, so neither the table nor the word is left out of a file.
PreparedImage PrepareForTarget(std::uint8_t* image, std::uint32_t memStart, std::uint32_t memEnd,
                               const CatalogueEntry& entry);

} // namespace vk::programmer
