#pragma once
// Preparing an image for a target before it is programmed or saved: the jump table below a
// program linked at 0x1000, and the checksum word after the image. Both stay inside the
// 64 KiB image whatever the target's region says. And the one check that decides, before anything
// is erased, whether an image can go to a target at all.

#include "protocol/RunOutcome.h"

#include <cstdint>
#include <string>

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
  NoRoom,        // no room for the word inside the region and the image; nothing written
  RegionOutside, // the region lies wholly above the image; nothing written
};

// Appends the 16-bit word that makes the big-endian words of from..to (clipped to the image)
// add up to zero, at endAddr rounded up to even; endAddr then moves past it.
ChecksumResult AppendChecksum(std::uint8_t* image, std::uint32_t& endAddr, std::uint32_t from,
                              std::uint32_t to);
// The same for a run about to send curAddr..endAddr: nothing loaded, nothing to sum (the word
// would only land at address 0 of an empty image).
inline void AppendRunChecksum(std::uint8_t* image, std::uint32_t curAddr, std::uint32_t& endAddr,
                              std::uint32_t from, std::uint32_t to) {
  if (curAddr < endAddr) AppendChecksum(image, endAddr, from, to);
}

struct CatalogueEntry;

// Why an image cannot go to a target as it stands; reason None when it can.
struct ImageRefusal {
  FailReason reason = FailReason::None;
  std::string text; // what the operator reads, ending "; nothing written"
  explicit operator bool() const { return reason != FailReason::None; }
};

// Where the image's 16-bit addresses lie for an entry whose region is above the 64 KiB image
// (the Cortex-M3 flash at 0x08000000): in the 64 KiB window the file's extended addresses named,
// a window below the region counted from the region's start (the chip shows its flash at 0 as
// well, so data at 0x00010000 goes to 0x08010000). 0 for an entry inside the image.
std::uint32_t PlacementBase(std::uint32_t window, std::uint32_t regionStart);

// "the image at 08020000-080200FF lies outside the flash 08000000-0801FFFF" for the image
// [from, end) placed at base, or "" when it lies inside.
std::string OutsideFlashText(std::uint32_t base, std::uint32_t from, std::uint32_t end,
                             std::uint32_t regionStart, std::uint32_t regionEnd);

// What a run of the entry refuses before anything is erased, for the image [memStart, memEnd)
// from the file's window (placed by PlacementBase where the region lies above the image):
// data that would go out outside the entry's region (blocks go out whole, so a block that starts
// below the region counts; an entry's own jump table at 0x0F80 does not), then, for an entry
// whose run appends checksum words, no room for them inside the region and the image. An entry
// that writes nothing and an empty image are never refused. The run, the dry run, convert and
// Save all ask here, so they always agree.
ImageRefusal CheckImageForTarget(const std::uint8_t* image, std::uint32_t memStart,
                                 std::uint32_t memEnd, const CatalogueEntry& entry,
                                 std::uint32_t window = 0);

// "the image leaves no room for the checksum word inside 1000-7FFF" (the region as far as the
// image reaches).
std::string NoRoomForChecksumText(const CatalogueEntry& entry, int words);

struct PreparedImage {
  std::uint32_t start; // lowest address to write, the jump table included
  std::uint32_t end;   // one past the highest, the checksum word included
  bool jumpTable;
  ChecksumResult checksum;
  ImageRefusal refusal; // set: the image was left as it was, and nothing is to be written
};

// What saving for a target does to a loaded image [memStart, memEnd): nothing at all when the
// run would refuse the image; otherwise the jump table when the entry asks for one, then the
// checksum word over the entry's region where it lies inside the region. Returns the range that
// now holds everything to write, so neither the table nor the word is left out of a file.
PreparedImage PrepareForTarget(std::uint8_t* image, std::uint32_t memStart, std::uint32_t memEnd,
                               const CatalogueEntry& entry, std::uint32_t window = 0);

} // namespace vk::programmer
