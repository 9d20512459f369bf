#pragma once
// One body for the two reader targets: the reader alone on arbitrary text, called directly on the
// file area, in a cleared image and merged over an image already loaded.

#include "ImageChecks.h"

#include <memory>

namespace vk::fuzz {

// Reads `available` characters from offset 1 (behind StageText's 0 byte).
using ReadFn = image::ReadResult (FirmwareImage::*)(std::uint32_t text, std::uint32_t available);

// Two records apart, loaded first when the fuzz text is to be merged over existing content.
inline constexpr char kPreloadIntelHex[] = ":044000001122334412\r\n"
                                           ":04800000A5A55A5A7E\r\n"
                                           ":00000001FF\r\n";
inline constexpr char kPreloadSRecords[] = "S1074000112233440E\r\n"
                                           "S1078000A5A55A5A7A\r\n"
                                           "S9030000FC\r\n";

// A record the reader would load if it ever looked past the characters it was given.
inline constexpr char kTailIntelHex[] = "\r\n:01123400AB0E\r\n";
inline constexpr char kTailSRecords[] = "\r\nS1041234AB0A\r\n";

inline int RunReaderTarget(const std::uint8_t* data, std::size_t size, ReadFn read, bool intelHex) {
  if (size + 64 > FirmwareImage::kFileDataSize) return 0;
  static auto* v = new FirmwareImage();
  static auto* other = new FirmwareImage();
  static auto* scratch = new FirmwareImage();
  const auto n = static_cast<std::uint32_t>(size);

  // 1. Cleared image: only the range may be written, and the writers must give it back.
  v->Clear();
  StageText(*v, data, size);
  const ImageBytes erased = Snapshot(*v);
  const bool refused = !(v->*read)(1, n);
  if (refused) VK_REQUIRE(Snapshot(*v) == erased && v->MemStart() == 0 && v->MemEnd() == 0);
  CheckRangeBounds(*v);
  CheckOnlyRangeWritten(*v, erased);
  CheckBothWriters(*v, *scratch);

  // 2. The reader never takes a character beyond those it was given, and a count larger than
  //    the text left in the file area is cut to it.
  const char* tail = intelHex ? kTailIntelHex : kTailSRecords;
  other->Clear();
  StageText(*other, data, size, reinterpret_cast<const std::uint8_t*>(tail), std::strlen(tail));
  (other->*read)(1, n);
  VK_REQUIRE(SameImage(*v, *other) && SameRange(*v, *other));
  other->Clear();
  StageText(*other, data, size);
  (other->*read)(1, n + 1000);
  VK_REQUIRE(SameImage(*v, *other) && SameRange(*v, *other));

  // 3. Lower-case digits read exactly as upper-case ones.
  const std::vector<std::uint8_t> upper = UpperDigits(data, size);
  other->Clear();
  StageText(*other, upper.data(), upper.size());
  (other->*read)(1, n);
  VK_REQUIRE(SameImage(*v, *other) && SameRange(*v, *other));

  // 4. Reading the same text twice changes nothing the first reading did not.
  (v->*read)(1, n);
  VK_REQUIRE(SameImage(*v, *other) && SameRange(*v, *other));

  // 5. Merged over loaded content: the range only grows, and bytes outside it stay as they were.
  const char* preload = intelHex ? kPreloadIntelHex : kPreloadSRecords;
  other->Clear();
  StageText(*other, reinterpret_cast<const std::uint8_t*>(preload), std::strlen(preload));
  (other->*read)(1, static_cast<std::uint32_t>(std::strlen(preload)));
  VK_REQUIRE(!other->IsEmpty());
  const std::uint32_t oldStart = other->MemStart(), oldEnd = other->MemEnd();
  const ImageBytes loaded = Snapshot(*other);
  StageText(*other, data, size);
  // A refused text leaves the loaded content exactly as it was.
  VK_REQUIRE(!(other->*read)(1, n) == refused);
  CheckRangeBounds(*other);
  VK_REQUIRE(other->MemStart() <= oldStart && other->MemEnd() >= oldEnd);
  CheckOnlyRangeWritten(*other, loaded);
  if (refused)
    VK_REQUIRE(Snapshot(*other) == loaded && other->MemStart() == oldStart &&
               other->MemEnd() == oldEnd);
  return 0;
}

} // namespace vk::fuzz
