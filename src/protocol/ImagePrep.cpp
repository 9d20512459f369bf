#include "protocol/ImagePrep.h"

#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace vk::programmer {

namespace {
// Four hexadecimal digits, more above 0xFFFF.
std::string Span(std::uint32_t from, std::uint32_t to) {
  char text[32];
  std::snprintf(text, sizeof text, "%04X-%04X", static_cast<unsigned>(from),
                static_cast<unsigned>(to));
  return text;
}

// The last address a checksum word may use: the region's end, cut at the image's.
std::uint32_t LastForWords(const CatalogueEntry& e) {
  return std::min(static_cast<std::uint32_t>(e.RegionEnd), kImageSize - 1);
}

// `words` checksum words fit at endAddr (rounded up to even) inside the region and the image.
bool RoomForWords(std::uint32_t endAddr, const CatalogueEntry& e, int words) {
  const std::uint32_t at = endAddr + (endAddr & 1);
  return at >= static_cast<std::uint32_t>(e.RegionStart) &&
         at + 2 * static_cast<std::uint32_t>(words) - 1 <= LastForWords(e);
}

struct Stretch {
  std::uint32_t first, last;
};

// The first stretch of [memStart, memEnd) that would go out outside from..to. Blocks go out whole
// from memStart on, so a block with data that starts below `from` goes out from its start.
std::optional<Stretch> StretchOutside(const std::uint8_t* image, std::uint32_t memStart,
                                      std::uint32_t memEnd, std::uint32_t from, std::uint32_t to,
                                      std::uint32_t block) {
  std::optional<Stretch> below, above;
  for (std::uint32_t start = memStart; start < memEnd; start += block) {
    const std::uint32_t end = std::min(start + block, memEnd);
    for (std::uint32_t a = start; a < end; ++a) {
      if (image[a] == 0xFF) continue;
      if (start < from) {
        if (!below) below = Stretch{start, start};
        below->last = std::min(a, from - 1);
      }
      if (a > to) {
        if (!above) above = Stretch{a, a};
        above->last = a;
      }
    }
  }
  return below ? below : above;
}
} // namespace

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

std::string NoRoomForChecksumText(const CatalogueEntry& entry, int words) {
  return std::string("the image leaves no room for ") +
         (words == 1 ? "the checksum word" : "the two checksum words") + " inside " +
         Span(static_cast<std::uint32_t>(entry.RegionStart), LastForWords(entry));
}

std::uint32_t PlacementBase(std::uint32_t window, std::uint32_t regionStart) {
  if (regionStart < kImageSize) return 0;
  return window < regionStart ? regionStart + window : window;
}

std::string OutsideFlashText(std::uint32_t base, std::uint32_t from, std::uint32_t end,
                             std::uint32_t regionStart, std::uint32_t regionEnd) {
  if (from >= end) return "";
  const std::uint32_t first = base + from, last = base + end - 1;
  if (first >= regionStart && last <= regionEnd) return "";
  return "the image at " + HexDigits(first, 8) + "-" + HexDigits(last, 8) +
         " lies outside the flash " + HexDigits(regionStart, 8) + "-" + HexDigits(regionEnd, 8);
}

ImageRefusal CheckImageForTarget(const std::uint8_t* image, std::uint32_t memStart,
                                 std::uint32_t memEnd, const CatalogueEntry& entry,
                                 std::uint32_t window) {
  const ProtocolKind& kind = KindOf(entry.CpuKind);
  memEnd = std::min(memEnd, kImageSize);
  if (!kind.WritesImage || memStart >= memEnd) return {};
  const auto regionStart = static_cast<std::uint32_t>(entry.RegionStart);
  const auto regionEnd = static_cast<std::uint32_t>(entry.RegionEnd);
  // A region above the 64 KiB image (the Cortex-M3 flash at 0x08000000) takes the image where
  // PlacementBase puts it.
  if (regionStart >= kImageSize) {
    const std::string outside = OutsideFlashText(PlacementBase(window, regionStart), memStart,
                                                 memEnd, regionStart, regionEnd);
    if (outside.empty()) return {};
    return {FailReason::ImageOutsideRegion, outside + "; nothing written"};
  }
  // The jump table the run builds below a program at 0x1000 is the entry's own.
  const std::uint32_t from = entry.JumpTable ? std::min(regionStart, kJumpTableAt) : regionStart;
  const auto block = static_cast<std::uint32_t>(entry.BlockSize > 0 ? entry.BlockSize : 128);
  if (const auto outside = StretchOutside(image, memStart, memEnd, from, regionEnd, block))
    return {FailReason::ImageOutsideRegion,
            "the image's data at " + Span(outside->first, outside->last) +
                " lies outside the region " + Span(regionStart, regionEnd) + "; nothing written"};
  if (kind.ChecksumWords > 0 && !RoomForWords(memEnd, entry, kind.ChecksumWords))
    return {FailReason::NoRoomForChecksum,
            NoRoomForChecksumText(entry, kind.ChecksumWords) + "; nothing written"};
  return {};
}

PreparedImage PrepareForTarget(std::uint8_t* image, std::uint32_t memStart, std::uint32_t memEnd,
                               const CatalogueEntry& entry, std::uint32_t window) {
  PreparedImage out{memStart, memEnd, false, ChecksumResult::NoRoom,
                    CheckImageForTarget(image, memStart, memEnd, entry, window)};
  if (out.refusal) return out;
  std::uint32_t curAddr = memStart;
  std::uint32_t endAddr = memEnd;
  out.jumpTable = entry.JumpTable && BuildJumpTable(image, curAddr);
  // The file's word, like the run's, only where the entry's memory holds it.
  const auto regionStart = static_cast<std::uint32_t>(entry.RegionStart);
  if (regionStart >= kImageSize)
    out.checksum = ChecksumResult::RegionOutside;
  else if (!RoomForWords(endAddr, entry, 1))
    out.checksum = ChecksumResult::NoRoom;
  else
    out.checksum =
        AppendChecksum(image, endAddr, regionStart, static_cast<std::uint32_t>(entry.RegionEnd));
  out.start = std::min(memStart, curAddr);
  out.end = std::max(memEnd, endAddr);
  return out;
}

} // namespace vk::programmer
